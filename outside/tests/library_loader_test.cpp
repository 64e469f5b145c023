#include <dlfcn.h>

#include <gtest/gtest.h>

#include "outside/library_loader.h"
#include "outside/outside_tables.h"
#include "runtime/config_access.h"

namespace {
std::string BinDir() { return RealProgramDirectory(); }
}  // namespace

TEST(LibraryLoaderTest, CompleteLibraryBindsRequiredAndOptionalEntries) {
  LoadedLibrary lib;
  ASSERT_TRUE(LoadOutsideLibrary(BinDir(), "qarpeerfixture", PeerEntryPoints(), lib));
  EXPECT_TRUE(lib.Loaded());
  for (size_t i = 0; i < peer::SMPPSubmitMessageAsync; ++i) EXPECT_NE(lib.Entry(i), nullptr) << i;
  EXPECT_EQ(lib.Entry(peer::SMPPSubmitMessageAsync), nullptr);  // optional, not exported
  EXPECT_NE(lib.Entry(peer::SMPPServerSubmitMessageNew), nullptr);
  EXPECT_EQ(lib.Call<int (*)()>(peer::SMPPCheckLinkStatus)(), 1);
  UnloadOutsideLibrary(lib);
  EXPECT_FALSE(lib.Loaded());
  EXPECT_EQ(lib.Entry(peer::SMPPCheckLinkStatus), nullptr);
}

TEST(LibraryLoaderTest, LibraryMissingARequiredEntryIsAbsentWithEveryEntryCleared) {
  LoadedLibrary lib;
  EXPECT_FALSE(LoadOutsideLibrary(BinDir(), "qarpeerfixturepartial", PeerEntryPoints(), lib));
  EXPECT_FALSE(lib.Loaded());
  EXPECT_EQ(lib.missingEntry, "SMPPBind");
  for (size_t i = 0; i < peer::kCount; ++i) EXPECT_EQ(lib.Entry(i), nullptr) << i;
}

TEST(LibraryLoaderTest, MissingFileIsAbsent) {
  LoadedLibrary lib;
  EXPECT_FALSE(LoadOutsideLibrary(BinDir(), "qarnosuchlibrary", PeerEntryPoints(), lib));
  EXPECT_FALSE(lib.Loaded());
  EXPECT_TRUE(lib.missingEntry.empty());
}

TEST(LibraryLoaderTest, TheLedgerOffersEveryEntryStartUpUses) {
  LoadedLibrary lib;
  ASSERT_TRUE(LoadOutsideLibrary(BinDir(), "qarledger", LedgerEntryPoints(), lib)) << lib.missingEntry;
  for (size_t i = 0; i < ledger::kCount; ++i) EXPECT_NE(lib.Entry(i), nullptr) << LedgerEntryPoints()[i].name;
  UnloadOutsideLibrary(lib);
}

TEST(LibraryLoaderTest, ProtocolLibrariesGetTheirDebugMode) {
  // Only the fixture is there under the qarpeer name's stand-in; the real protocol
  // libraries are absent, which start-up takes as "feature off".
  LoadProtocolLibraries(BinDir() + "nowhere/", true);
  EXPECT_FALSE(OutsideLibraries.peer.Loaded());
  EXPECT_FALSE(OutsideLibraries.kite.Loaded());
  EXPECT_FALSE(OutsideLibraries.bolt.Loaded());
  LoadedLibrary lib;
  ASSERT_TRUE(LoadOutsideLibrary(BinDir(), "qarpeerfixture", PeerEntryPoints(), lib));
  lib.Call<void (*)(int)>(peer::SMPPSetDebugMode)(1);
  void* handle = lib.handle;
  auto debugMode = reinterpret_cast<int (*)()>(dlsym(handle, "FixtureDebugMode"));
  ASSERT_NE(debugMode, nullptr);
  EXPECT_EQ(debugMode(), 1);
  UnloadOutsideLibrary(lib);
}
