#include "inbound/smppserver/segment_references.h"

#include <random>

#include "outside/outside_tables.h"
#include "outside/qarledger/qarledger.h"
#include "runtime/debug_log.h"
#include "runtime/mutex.h"
#include "runtime/str_printf.h"
#include "store/unique_ids.h"

namespace {
unsigned HexAt(const std::string& hex, size_t at, size_t digits) {
  unsigned v = 0;
  for (size_t i = 0; i < digits; ++i) {
    char c = hex[at + i];
    unsigned d = c >= '0' && c <= '9' ? unsigned(c - '0') : c >= 'A' && c <= 'F' ? unsigned(c - 'A' + 10)
                 : c >= 'a' && c <= 'f' ? unsigned(c - 'a' + 10) : 0;
    v = v * 16 + d;
  }
  return v;
}

bool AllHex(const std::string& text) {
  for (char c : text)
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

// One lookup and record at a time, so that two segments of a message never get two references.
Mutex g_mapLock;
std::mt19937 g_random GUARDED_BY(g_mapLock){std::random_device{}()};

unsigned NewReference(bool reference16) REQUIRES(g_mapLock) {
  return reference16 ? unsigned(g_random() & 0xFFFF) : NextConcatReference();
}
}  // namespace

bool FindConcatElement(const std::string& udh, ConcatElement& out) {
  if (udh.size() < 2 || udh.size() % 2 != 0 || !AllHex(udh)) return false;
  size_t length = HexAt(udh, 0, 2);
  size_t end = std::min(udh.size(), 2 + length * 2);
  for (size_t at = 2; at + 4 <= end;) {
    unsigned iei = HexAt(udh, at, 2);
    size_t elementLength = HexAt(udh, at + 2, 2);
    size_t data = at + 4;
    if (data + elementLength * 2 > end) return false;
    if (iei == 0x00 && elementLength == 3) {
      out = {data, false, HexAt(udh, data, 2), HexAt(udh, data + 2, 2), HexAt(udh, data + 4, 2)};
      return true;
    }
    if (iei == 0x08 && elementLength == 4) {
      out = {data, true, HexAt(udh, data, 4), HexAt(udh, data + 4, 2), HexAt(udh, data + 6, 2)};
      return true;
    }
    at = data + elementLength * 2;
  }
  return false;
}

void RemapSegmentReference(const std::string& user, const std::string& recipient, std::string& udh) {
  ConcatElement e;
  if (!FindConcatElement(udh, e)) return;
  auto get = OutsideLibraries.ledger.Call<sqlSARIDGet_t>(ledger::sqlSARIDGet);
  auto add = OutsideLibraries.ledger.Call<sqlSARIDAdd_t>(ledger::sqlSARIDAdd);
  if (!get || !add) return;
  uint32_t mapped = 0;
  {
    MutexLock guard(g_mapLock);
    if (get(user.c_str(), recipient.c_str(), e.reference, e.count, e.number, &mapped) == 0)
      mapped = NewReference(e.reference16);
    add(user.c_str(), recipient.c_str(), e.reference, e.count, e.number, mapped);
  }
  std::string digits = e.reference16 ? StrPrintf("%04X", mapped & 0xFFFF) : StrPrintf("%02X", mapped & 0xFF);
  udh.replace(e.offset, digits.size(), digits);
  WriteDebugLogf("SMPPServerReceiveMessageCallback", "Segment %u/%u of reference %u for %s given reference %u",
                 e.number, e.count, e.reference, recipient.c_str(), mapped);
}
