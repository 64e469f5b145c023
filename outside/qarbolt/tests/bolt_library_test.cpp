// libqarbolt.so as the gateway loads it: by name, every entry point of the start-up table
// and the extra exports bound by export name, and a text for every result.
#include <dlfcn.h>

#include <gtest/gtest.h>

#include "outside/library_loader.h"
#include "outside/outside_tables.h"
#include "outside/qarbolt/qarbolt.h"

TEST(BoltLibrary, LoaderBindsEveryEntryPointAndTheExtraExports) {
  LoadedLibrary lib;
  ASSERT_TRUE(LoadOutsideLibrary(QARBOLT_LIBRARY_DIR, "qarbolt", BoltEntryPoints(), lib)) << lib.missingEntry;
  for (size_t i = 0; i < bolt::kCount; ++i) EXPECT_NE(lib.Entry(i), nullptr) << BoltEntryPoints()[i].name;
  for (const char* extra : {"CIMDSetDebugLogFunction", "CIMDSetResponseTimeout", "CIMDLastMessageId",
                            "CIMDEndSession"}) {
    EXPECT_NE(dlsym(lib.handle, extra), nullptr) << extra;
  }
  // Nothing of the library's insides is exported.
  EXPECT_EQ(dlsym(lib.handle, "_ZN4cimd12EncodePacketERKNS_6PacketE"), nullptr);
  UnloadOutsideLibrary(lib);
}

TEST(BoltLibrary, ErrorTextsForCentreCodesOwnResultsAndUnknownCodes) {
  struct Case {
    int status;
    const char* text;
  };
  const Case cases[] = {
      {100, "Invalid login"},
      {CIMD_ERROR_LINK, "CIMD connection error (link closed or socket error)"},
      {CIMD_ERROR_TIMEOUT, "CIMD timeout waiting for a response"},
      {CIMD_ERROR_PROTOCOL, "CIMD protocol error (malformed packet or a value that cannot be sent)"},
      {777, "CIMD error 777"},
  };
  for (const Case& c : cases) EXPECT_STREQ(CIMDErrorText(c.status), c.text) << c.status;
}
