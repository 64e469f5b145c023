// The SMPP server for client applications: the two listener threads (plain and TLS) and one
// session thread per bound client.
#pragma once

// Registers the submission callback and the activity callback with the SMPP library.
void InstallSmppServer();
// Until the service stops: accept connections and start a session thread for each.
void ThreadListenForSMPPConnections(int listenSocket);
void ThreadListenForSSLSMPPConnections(int listenSocket);
