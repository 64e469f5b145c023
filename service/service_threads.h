// The service's threads, started by main in the order of the thread table.
#pragma once

// Start-up step 17: the listener threads. False when one could not be started.
bool StartListenerThreads();
// Start-up step 19: every other thread, in table order.
void StartWorkerThreads();
// The body of a thread whose work is not built yet: it keeps its frame until shutdown.
void IdleUntilShutdown();
