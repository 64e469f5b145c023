#include <cstdio>

#include "service/gateway.h"

int main() {
  // With Debug on, message-log lines go to standard output as well: one line at a time,
  // so that a supervisor or journald sees them as they happen.
  setvbuf(stdout, nullptr, _IOLBF, 0);
  return GatewayMain();
}
