#include "service/gateway.h"

int main() { return GatewayMain(); }
