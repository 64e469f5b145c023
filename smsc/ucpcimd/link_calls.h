// The calls of the UCP/EMI and CIMD2 libraries in one shape: both speak the same way to the
// driver (socket first) and differ only in argument order and texts, which this table holds.
#pragma once

#include <string>

// The exports beyond the start-up table, looked up once per session (null: absent).
struct LinkExports {
  void* send = nullptr;    // the submit's first half: it is sent
  void* wait = nullptr;    // its second half: its answer is awaited
  void* lastId = nullptr;  // the centre's id of the last accepted submit
  bool split() const { return send && wait; }
};

struct LinkCalls {
  const char* kind;           // "UCP" or "CIMD": the first word of every failure text
  const char* library;        // the name in "Support DLL %s did not initialize"
  const char* rejectKey;      // the connection's list of codes that fail a message at once
  const char* listenerThread; // the inbound listener and its connection threads
  const char* connectionThread;
  int idleWaitMs;             // the shortest idle yield of a pass
  bool (*loaded)();
  int (*connect)(int sock, const char* name, const char* host, unsigned port);
  int (*bind)(int sock, const char* name, const char* user, const char* password);
  int (*submit)(int sock, const char* name, const char* sender, const char* recipient, int pid, int dcs,
                const char* udhHex, const char* data, int flags, int binary, const char* extraParams);
  LinkExports (*exports)();
  // The submit in two halves (with exports().split()): send gives 0 once it is on its way,
  // else its status; wait gives the status of the one sent.
  int (*send)(const LinkExports& x, int sock, const char* name, const char* sender, const char* recipient, int pid,
              int dcs, const char* udhHex, const char* data, int flags, int binary, const char* extraParams);
  int (*wait)(const LinkExports& x, int sock, const char* name);
  // The centre's id of the submit just accepted; empty when the library gives none.
  std::string (*lastMessageId)(const LinkExports& x, int sock, const char* name);
  int (*enquireLink)(int sock, const char* name);
  // Serves received traffic for up to waitMs; non-zero when the link was lost.
  int (*yield)(int sock, const char* name, int waitMs);
  bool (*linkUp)(int sock, const char* name);
  std::string (*errorText)(int status);
  // Drops the library's state of the socket before it closes (no-op without the export).
  void (*endSession)(int sock);
};

const LinkCalls& UcpCalls();
const LinkCalls& CimdCalls();

// An export of a protocol library beyond the start-up table; null when absent.
void* KiteExport(const char* name);
void* BoltExport(const char* name);
