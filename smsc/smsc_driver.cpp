#include "smsc/smsc_driver.h"

#include <array>
#include <atomic>

#include "runtime/text_helpers.h"

namespace {

constexpr size_t kKinds = size_t(ConnectionKind::Modem) + 1;
std::array<std::atomic<SmscDriverFactory>, kKinds> g_factories{};

// What each round of a kind without a driver reports.
const char* UnavailableText(ConnectionKind kind) {
  switch (kind) {
    case ConnectionKind::Smpp: return "SMPP Failure -- Support DLL QARPEER.DLL did not initialize";
    case ConnectionKind::Ucp: return "UCP Failure -- Support DLL QARKITE.DLL did not initialize";
    case ConnectionKind::Cimd: return "CIMD Failure -- Support DLL QARBOLT.DLL did not initialize";
    case ConnectionKind::Http: return "HTTP Failure -- HTTP SMSC support did not initialize";
    default: return "Modem Failure -- Modem support did not initialize";
  }
}

}  // namespace

ConnectionKind ConnectionKindOf(uint32_t index, std::string_view name) {
  if (index == 0) return ConnectionKind::LocalRouting;
  if (StartsWithNoCase(name, "SMPP - ")) return ConnectionKind::Smpp;
  if (StartsWithNoCase(name, "UCP - ")) return ConnectionKind::Ucp;
  if (StartsWithNoCase(name, "CIMD - ")) return ConnectionKind::Cimd;
  if (StartsWithNoCase(name, "HTTP - ") || StartsWithNoCase(name, "SDKLink - ")) return ConnectionKind::Http;
  return ConnectionKind::Modem;
}

void RegisterSmscDriver(ConnectionKind kind, SmscDriverFactory factory) { g_factories[size_t(kind)] = factory; }

bool SmscDriverRegistered(ConnectionKind kind) { return g_factories[size_t(kind)].load() != nullptr; }

SmscDriver MakeSmscDriver(ConnectionKind kind, const std::string& connection, uint32_t instance) {
  if (SmscDriverFactory factory = g_factories[size_t(kind)].load()) return factory(connection, instance);
  SmscDriver driver;
  driver.unavailable = UnavailableText(kind);
  return driver;
}
