// The gateway's life: start-up, the one-second main loop, and the ordered shutdown.
#pragma once

// Exit codes: 0 after a shutdown (a configuration restart included), 255 (-1) when
// another instance is active, the status block cannot be made, no web port can be opened
// or a listener thread cannot be started.
int GatewayMain();
