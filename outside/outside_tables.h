// The process-wide call tables of the outside libraries loaded by name. Typed wrappers for
// each library live beside the code that calls it; the indexes below follow the entry-point arrays.
#pragma once

#include <span>

#include "outside/library_loader.h"

namespace seal {
enum Entry : size_t {
  sslInitSession, sslAcceptSession, sslFreeSession, sslSend, sslRecv, sslDataPending, sslInitLib,
  sslTermLib, sslServerCertExists, sslSignedCertExists, sslGenerateCertificate, kCount
};
}
namespace peer {
enum Entry : size_t {
  SMPPSetDebugMode, SMPPBind, SMPPSubmitMessage, SMPPUnbind, SMPPConnect, SMPPErrorText, SMPPEnquireLink,
  SMPPSetReceiveMessageCallback, SMPPYield, SMPPServerYield, SMPPServerWaitForLogin, SMPPServerAcceptLogin,
  SMPPServerRejectLogin, SMPPServerSetReceiveMessageCallback, SMPPServerEnquireLink, SMPPServerSubmitMessage,
  SMPPCheckLinkStatus, SMPPReceiveFromAsyncQ,
  // optional
  SMPPSubmitMessageAsync, SMPPServerSubmitMessageNew, SMPPServerSetActivityCallback, kCount
};
}
namespace kite {
enum Entry : size_t {
  UCPSetDebugMode, UCPBind, UCPSubmitMessage, UCPConnect, UCPErrorText, UCPSetReceiveMessageCallback, UCPYield,
  UCPCheckLinkStatus, UCPEnquireLink, kCount
};
}
namespace bolt {
enum Entry : size_t {
  CIMDSetDebugMode, CIMDBind, CIMDSubmitMessage, CIMDConnect, CIMDErrorText, CIMDSetReceiveMessageCallback,
  CIMDYield, CIMDCheckLinkStatus, CIMDEnquireLink,
  // optional
  CIMDSetReceiveMessageCallbackEx, kCount
};
}
namespace ledger {
enum Entry : size_t {
  sqlSMSCMessageIdGet2, sqlSMSCMessageIdAdd, sqlMMSCMigrateUserDB, sqlMMSCFindUserRecord, sqlMMSCFindAlias,
  sqlMMSCGetUserCount, sqlMMSCGetUserRecord, sqlMMSCDeleteUser, sqlMMSCAddUser, sqlMMSCAddOrModifyUser,
  sqlMMSCFindUserRecordNumber, sqlMMSCOpenUserDB, sqlMMSCCloseUserDB, sqlMMSLocalIDGet, sqlMMSLocalIDAdd,
  sqlMMSRemoteIDGet, sqlMMSRemoteIDAdd,
  // optional
  sqlSMSCMessageIdCloseAll, sqlSMSCMessageIdAddBegin, sqlSMSCMessageIdAddEnd, sqlSMSCMessageIdYield,
  sqlShortURLAdd, sqlShortURLGet, sqlShortURLCleanUp, sqlTestDatabaseOK, sqlSARIDGet, sqlSARIDAdd, kCount
};
}

namespace sign {
enum Entry : size_t { GenerateHMAC, kCount };
}

std::span<const EntryPointDecl> SealEntryPoints();
std::span<const EntryPointDecl> PeerEntryPoints();
std::span<const EntryPointDecl> KiteEntryPoints();
std::span<const EntryPointDecl> BoltEntryPoints();
std::span<const EntryPointDecl> LedgerEntryPoints();

struct OutsideLibrariesRecord {
  LoadedLibrary seal;    // qarseal
  LoadedLibrary peer;    // qarpeer
  LoadedLibrary kite;    // qarkite
  LoadedLibrary bolt;    // qarbolt
  LoadedLibrary ledger;  // qarledger
  LoadedLibrary sign;    // qarsign
  bool sslAvailable = false;        // sslInitLib returned non-zero
  bool sslServerAvailable = false;  // and a server certificate exists
};
extern OutsideLibrariesRecord OutsideLibraries;

// Start-up: each loads its library from the program directory and does what follows a
// successful load (debug mode for the protocol libraries, SSL initialisation).
void LoadSealLibrary(const std::string& directory);
void LoadProtocolLibraries(const std::string& directory, bool protocolDebug);
void LoadLedgerLibrary(const std::string& directory);
void LoadSignLibrary(const std::string& directory);
void UnloadOutsideLibraries();
