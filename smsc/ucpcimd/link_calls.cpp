#include "smsc/ucpcimd/link_calls.h"

#include <dlfcn.h>

#include "outside/outside_tables.h"
#include "outside/qarbolt/qarbolt.h"
#include "outside/qarkite/qarkite.h"

namespace {

const LoadedLibrary& Kite() { return OutsideLibraries.kite; }
const LoadedLibrary& Bolt() { return OutsideLibraries.bolt; }

void* ExportOf(const LoadedLibrary& lib, const char* name) { return lib.Loaded() ? dlsym(lib.handle, name) : nullptr; }

std::string IdFrom(int result, const char* buffer) { return result == 0 ? std::string(buffer) : std::string(); }

constexpr int kIdSize = 128;

const LinkCalls kUcp = {
    "UCP", "QARKITE.DLL", "UCPRejectErrorCodes", "ThreadProcessUCPReceive", "ThreadProcessUCPReceiveConnection", 1,
    [] { return Kite().Loaded(); },
    [](int sock, const char* name, const char* host, unsigned port) {
      return Kite().Call<UCPConnectFn>(kite::UCPConnect)(sock, name, host, port);
    },
    [](int sock, const char* name, const char* user, const char* password) {
      return Kite().Call<UCPBindFn>(kite::UCPBind)(sock, name, user, password);
    },
    [](int sock, const char* name, const char* sender, const char* recipient, int pid, int dcs, const char* udh,
       const char* data, int flags, int binary, const char* extra) {
      return Kite().Call<UCPSubmitMessageFn>(kite::UCPSubmitMessage)(sock, name, sender, "", recipient, pid, dcs, udh,
                                                                      data, flags, binary, extra);
    },
    [] {
      return LinkExports{KiteExport("UCPSendMessage"), KiteExport("UCPWaitMessageResult"),
                         KiteExport("UCPLastMessageId")};
    },
    [](const LinkExports& x, int sock, const char* name, const char* sender, const char* recipient, int pid, int dcs,
       const char* udh, const char* data, int flags, int binary, const char* extra) {
      return reinterpret_cast<UCPSendMessageFn>(x.send)(sock, name, sender, "", recipient, pid, dcs, udh, data, flags,
                                                        binary, extra);
    },
    [](const LinkExports& x, int sock, const char* name) {
      return reinterpret_cast<UCPWaitMessageResultFn>(x.wait)(sock, name);
    },
    [](const LinkExports& x, int sock, const char*) {
      auto fn = reinterpret_cast<UCPLastMessageIdFn>(x.lastId);
      char id[kIdSize] = {};
      return fn ? IdFrom(fn(sock, id, kIdSize), id) : std::string();
    },
    [](int sock, const char* name) { return Kite().Call<UCPEnquireLinkFn>(kite::UCPEnquireLink)(sock, name); },
    [](int sock, const char* name, int waitMs) {
      int linkError = 0;
      int r = Kite().Call<UCPYieldFn>(kite::UCPYield)(sock, name, waitMs, &linkError);
      return r != 0 || linkError != 0 ? 1 : 0;
    },
    [](int sock, const char* name) { return Kite().Call<UCPCheckLinkStatusFn>(kite::UCPCheckLinkStatus)(sock, name) != 0; },
    [](int status) {
      const char* text = Kite().Call<UCPErrorTextFn>(kite::UCPErrorText)(status);
      return std::string(text ? text : "");
    },
    [](int sock) {
      if (auto fn = reinterpret_cast<UCPEndSessionFn>(KiteExport("UCPEndSession"))) fn(sock);
    },
};

const LinkCalls kCimd = {
    "CIMD", "QARBOLT.DLL", "CIMDRejectErrorCodes", "ThreadProcessCIMDReceive", "ThreadProcessCIMDReceiveConnection", 2,
    [] { return Bolt().Loaded(); },
    [](int sock, const char* name, const char* host, unsigned port) {
      return Bolt().Call<CIMDConnectFn>(bolt::CIMDConnect)(name, sock, host, port);
    },
    [](int sock, const char* name, const char* user, const char* password) {
      return Bolt().Call<CIMDBindFn>(bolt::CIMDBind)(name, sock, user, password);
    },
    [](int sock, const char* name, const char* sender, const char* recipient, int pid, int dcs, const char* udh,
       const char* data, int flags, int binary, const char*) {
      return Bolt().Call<CIMDSubmitMessageFn>(bolt::CIMDSubmitMessage)(name, sock, sender, "", recipient, pid, dcs,
                                                                        udh, data, flags, binary);
    },
    [] {
      return LinkExports{BoltExport("CIMDSendMessage"), BoltExport("CIMDWaitMessageResult"),
                         BoltExport("CIMDLastMessageId")};
    },
    [](const LinkExports& x, int sock, const char* name, const char* sender, const char* recipient, int pid, int dcs,
       const char* udh, const char* data, int flags, int binary, const char*) {
      return reinterpret_cast<CIMDSendMessageFn>(x.send)(name, sock, sender, "", recipient, pid, dcs, udh, data, flags,
                                                         binary);
    },
    [](const LinkExports& x, int sock, const char* name) {
      return reinterpret_cast<CIMDWaitMessageResultFn>(x.wait)(name, sock);
    },
    [](const LinkExports& x, int sock, const char* name) {
      auto fn = reinterpret_cast<CIMDLastMessageIdFn>(x.lastId);
      char id[kIdSize] = {};
      return fn ? IdFrom(fn(name, sock, id, kIdSize), id) : std::string();
    },
    [](int sock, const char* name) { return Bolt().Call<CIMDEnquireLinkFn>(bolt::CIMDEnquireLink)(name, sock); },
    [](int sock, const char* name, int waitMs) {
      int linkError = 0;
      int r = Bolt().Call<CIMDYieldFn>(bolt::CIMDYield)(name, sock, waitMs, &linkError);
      return r != 0 || linkError != 0 ? 1 : 0;
    },
    [](int sock, const char* name) {
      return Bolt().Call<CIMDCheckLinkStatusFn>(bolt::CIMDCheckLinkStatus)(name, sock) != 0;
    },
    [](int status) {
      const char* text = Bolt().Call<CIMDErrorTextFn>(bolt::CIMDErrorText)(status);
      return std::string(text ? text : "");
    },
    [](int sock) {
      if (auto fn = reinterpret_cast<CIMDEndSessionFn>(BoltExport("CIMDEndSession"))) fn(sock);
    },
};

}  // namespace

void* KiteExport(const char* name) { return ExportOf(Kite(), name); }
void* BoltExport(const char* name) { return ExportOf(Bolt(), name); }

const LinkCalls& UcpCalls() { return kUcp; }
const LinkCalls& CimdCalls() { return kCimd; }
