#include "config/wake_events.h"

AutoResetEvent InboundMessageEvent;
AutoResetEvent InboundReceiptEvent;
