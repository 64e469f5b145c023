#include <gtest/gtest.h>

#include "smsc/smsc_driver.h"

namespace {

// The kind follows the name's prefix, whatever its case; worker 0 always routes locally.
TEST(SmscDriver, KindsByName) {
  struct Case {
    uint32_t index;
    const char* name;
    ConnectionKind kind;
  } cases[] = {
      {0, "SDKLINK - VirtualSMSC", ConnectionKind::LocalRouting},
      {0, "SMPP - a:1", ConnectionKind::LocalRouting},
      {1, "SMPP - a:1", ConnectionKind::Smpp},
      {1, "smpp - a:1", ConnectionKind::Smpp},
      {2, "UCP - b:2", ConnectionKind::Ucp},
      {3, "CIMD - c:3", ConnectionKind::Cimd},
      {4, "HTTP - http://d/", ConnectionKind::Http},
      {5, "SDKLink - e", ConnectionKind::Http},
      {6, "Modem - COM1", ConnectionKind::Modem},
      {7, "IPModem - f:23", ConnectionKind::Modem},
      {8, "SMPP-a:1", ConnectionKind::Modem},
  };
  for (const Case& c : cases) EXPECT_EQ(ConnectionKindOf(c.index, c.name), c.kind) << c.name;
}

std::string g_madeFor;
uint32_t g_madeInstance = 0;

SmscDriver FakeFactory(const std::string& connection, uint32_t instance) {
  g_madeFor = connection;
  g_madeInstance = instance;
  SmscDriver d;
  d.receiveOnly = [] { return true; };
  return d;
}

// A kind without a registered driver says so in each round with its own text; a registered
// one is made by its factory for the connection and instance.
TEST(SmscDriver, UnavailableKindsAndRegistration) {
  struct Case {
    ConnectionKind kind;
    const char* text;
  } cases[] = {
      {ConnectionKind::Ucp, "UCP Failure -- Support DLL QARKITE.DLL did not initialize"},
      {ConnectionKind::Cimd, "CIMD Failure -- Support DLL QARBOLT.DLL did not initialize"},
      {ConnectionKind::Http, "HTTP Failure -- HTTP SMSC support did not initialize"},
      {ConnectionKind::Modem, "Modem Failure -- Modem support did not initialize"},
  };
  for (const Case& c : cases) {
    SmscDriver d = MakeSmscDriver(c.kind, "X - y", 1);
    EXPECT_EQ(d.unavailable, c.text);
    EXPECT_FALSE(d.connect);
    EXPECT_FALSE(d.close);
  }
  RegisterSmscDriver(ConnectionKind::Cimd, FakeFactory);
  SmscDriver d = MakeSmscDriver(ConnectionKind::Cimd, "CIMD - c:3", 2);
  EXPECT_TRUE(d.unavailable.empty());
  ASSERT_TRUE(d.receiveOnly);
  EXPECT_TRUE(d.receiveOnly());
  EXPECT_EQ(g_madeFor, "CIMD - c:3");
  EXPECT_EQ(g_madeInstance, 2u);
  EXPECT_EQ(MakeSmscDriver(ConnectionKind::Ucp, "UCP - b:2", 1).unavailable,
            "UCP Failure -- Support DLL QARKITE.DLL did not initialize");
  RegisterSmscDriver(ConnectionKind::Cimd, nullptr);
  EXPECT_FALSE(MakeSmscDriver(ConnectionKind::Cimd, "CIMD - c:3", 1).unavailable.empty());
}

}  // namespace
