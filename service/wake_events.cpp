#include "service/wake_events.h"

AutoResetEvent InboundMessageEvent;
AutoResetEvent InboundReceiptEvent;
