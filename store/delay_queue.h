// The delayed queue: files written into DELAYQ/YYYYMMDD/hhmm[/subdirectory] of the outbound
// root move to the same place in the live queue when their minute has come, keeping their
// names (and so their message ids).
#pragma once

// One pass: moves every due file; returns the number moved.
unsigned ProcessDelayQueueOnce();
void ThreadProcessDelayQ();
