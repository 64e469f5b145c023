// The two wake-up events of the inbound workers: submitters set them after writing an
// inbound file, main sets both at shutdown.
#pragma once

#include "runtime/auto_reset_event.h"

extern AutoResetEvent InboundMessageEvent;
extern AutoResetEvent InboundReceiptEvent;
