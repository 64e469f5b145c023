#include "outside/outside_tables.h"

#include <array>

OutsideLibrariesRecord OutsideLibraries;

namespace {
constexpr std::array<EntryPointDecl, seal::kCount> kSeal = {{
    {"sslInitSession", true}, {"sslAcceptSession", true}, {"sslFreeSession", true}, {"sslSend", true},
    {"sslRecv", true}, {"sslDataPending", true}, {"sslInitLib", true}, {"sslTermLib", true},
    {"sslServerCertExists", true}, {"sslSignedCertExists", true}, {"sslGenerateCertificate", true},
}};
constexpr std::array<EntryPointDecl, peer::kCount> kPeer = {{
    {"SMPPSetDebugMode", true}, {"SMPPBind", true}, {"SMPPSubmitMessage", true}, {"SMPPUnbind", true},
    {"SMPPConnect", true}, {"SMPPErrorText", true}, {"SMPPEnquireLink", true},
    {"SMPPSetReceiveMessageCallback", true}, {"SMPPYield", true}, {"SMPPServerYield", true},
    {"SMPPServerWaitForLogin", true}, {"SMPPServerAcceptLogin", true}, {"SMPPServerRejectLogin", true},
    {"SMPPServerSetReceiveMessageCallback", true}, {"SMPPServerEnquireLink", true},
    {"SMPPServerSubmitMessage", true}, {"SMPPCheckLinkStatus", true}, {"SMPPReceiveFromAsyncQ", true},
    {"SMPPSubmitMessageAsync", false}, {"SMPPServerSubmitMessageNew", false},
    {"SMPPServerSetActivityCallback", false},
}};
constexpr std::array<EntryPointDecl, kite::kCount> kKite = {{
    {"UCPSetDebugMode", true}, {"UCPBind", true}, {"UCPSubmitMessage", true}, {"UCPConnect", true},
    {"UCPErrorText", true}, {"UCPSetReceiveMessageCallback", true}, {"UCPYield", true},
    {"UCPCheckLinkStatus", true}, {"UCPEnquireLink", true},
}};
constexpr std::array<EntryPointDecl, bolt::kCount> kBolt = {{
    {"CIMDSetDebugMode", true}, {"CIMDBind", true}, {"CIMDSubmitMessage", true}, {"CIMDConnect", true},
    {"CIMDErrorText", true}, {"CIMDSetReceiveMessageCallback", true}, {"CIMDYield", true},
    {"CIMDCheckLinkStatus", true}, {"CIMDEnquireLink", true}, {"CIMDSetReceiveMessageCallbackEx", false},
}};
constexpr std::array<EntryPointDecl, ledger::kCount> kLedger = {{
    {"sqlSMSCMessageIdGet2", true}, {"sqlSMSCMessageIdAdd", true}, {"sqlMMSCMigrateUserDB", true},
    {"sqlMMSCFindUserRecord", true}, {"sqlMMSCFindAlias", true}, {"sqlMMSCGetUserCount", true},
    {"sqlMMSCGetUserRecord", true}, {"sqlMMSCDeleteUser", true}, {"sqlMMSCAddUser", true},
    {"sqlMMSCAddOrModifyUser", true}, {"sqlMMSCFindUserRecordNumber", true}, {"sqlMMSCOpenUserDB", true},
    {"sqlMMSCCloseUserDB", true}, {"sqlMMSLocalIDGet", true}, {"sqlMMSLocalIDAdd", true},
    {"sqlMMSRemoteIDGet", true}, {"sqlMMSRemoteIDAdd", true}, {"sqlSMSCMessageIdCloseAll", false},
    {"sqlSMSCMessageIdAddBegin", false}, {"sqlSMSCMessageIdAddEnd", false}, {"sqlSMSCMessageIdYield", false},
    {"sqlShortURLAdd", false}, {"sqlShortURLGet", false}, {"sqlShortURLCleanUp", false},
    {"sqlTestDatabaseOK", false}, {"sqlSARIDGet", false}, {"sqlSARIDAdd", false},
}};
constexpr std::array<EntryPointDecl, sign::kCount> kSign = {{{"GenerateHMAC", true}}};

using SetDebugModeFn = void (*)(int);
using IntFn = int (*)();
}  // namespace

std::span<const EntryPointDecl> SealEntryPoints() { return kSeal; }
std::span<const EntryPointDecl> PeerEntryPoints() { return kPeer; }
std::span<const EntryPointDecl> KiteEntryPoints() { return kKite; }
std::span<const EntryPointDecl> BoltEntryPoints() { return kBolt; }
std::span<const EntryPointDecl> LedgerEntryPoints() { return kLedger; }

void LoadSealLibrary(const std::string& directory) {
  OutsideLibraries.sslAvailable = false;
  OutsideLibraries.sslServerAvailable = false;
  if (!LoadOutsideLibrary(directory, "qarseal", kSeal, OutsideLibraries.seal)) return;
  OutsideLibraries.sslAvailable = OutsideLibraries.seal.Call<IntFn>(seal::sslInitLib)() != 0;
  OutsideLibraries.sslServerAvailable =
      OutsideLibraries.sslAvailable && OutsideLibraries.seal.Call<IntFn>(seal::sslServerCertExists)() != 0;
}

void LoadProtocolLibraries(const std::string& directory, bool protocolDebug) {
  int flag = protocolDebug ? 1 : 0;
  if (LoadOutsideLibrary(directory, "qarpeer", kPeer, OutsideLibraries.peer)) {
    OutsideLibraries.peer.Call<SetDebugModeFn>(peer::SMPPSetDebugMode)(flag);
    // The SMPP server's receive and activity callbacks are set by the SMPP server when it
    // is built; until then the server role stays unused.
  }
  if (LoadOutsideLibrary(directory, "qarkite", kKite, OutsideLibraries.kite)) {
    OutsideLibraries.kite.Call<SetDebugModeFn>(kite::UCPSetDebugMode)(flag);
  }
  if (LoadOutsideLibrary(directory, "qarbolt", kBolt, OutsideLibraries.bolt)) {
    OutsideLibraries.bolt.Call<SetDebugModeFn>(bolt::CIMDSetDebugMode)(flag);
  }
}

void LoadLedgerLibrary(const std::string& directory) {
  LoadOutsideLibrary(directory, "qarledger", kLedger, OutsideLibraries.ledger);
}

void UnloadOutsideLibraries() {
  if (OutsideLibraries.seal.Loaded() && OutsideLibraries.sslAvailable) {
    OutsideLibraries.seal.Call<void (*)()>(seal::sslTermLib)();
  }
  for (LoadedLibrary* lib : {&OutsideLibraries.seal, &OutsideLibraries.peer, &OutsideLibraries.kite,
                             &OutsideLibraries.bolt, &OutsideLibraries.ledger, &OutsideLibraries.sign}) {
    UnloadOutsideLibrary(*lib);
  }
  OutsideLibraries.sslAvailable = false;
  OutsideLibraries.sslServerAvailable = false;
}

void LoadSignLibrary(const std::string& directory) { LoadOutsideLibrary(directory, "qarsign", kSign, OutsideLibraries.sign); }
