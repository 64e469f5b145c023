#include "inbound/recombination.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <tuple>
#include <vector>

#include "gsm/code_pages.h"
#include "inbound/inbound_files.h"
#include "inbound/inbound_wake.h"
#include "inbound/udh_facts.h"
#include "runtime/clock.h"
#include "runtime/debug_log.h"
#include "runtime/str_printf.h"
#include "runtime/text_helpers.h"
#include "store/dir_listing.h"
#include "store/message_writer.h"
#include "store/queue_dirs.h"
#include "store/store_service.h"

namespace {
constexpr time_t kSegmentWait = 5 * 60;
constexpr time_t kUnmarkedSegmentWait = 60;

std::string SegmentPath(const SarName& n, unsigned number) {
  return InboundDir() + StrPrintf("%s-%x-%u-%u.SAR", n.sender.c_str(), n.reference, n.total, number);
}

struct Segment {
  ClaimedFile file;
  InboundFileFacts facts;
  SmsMessageRecord message;
  bool present = false;
};

// Puts one message together; true when its file was written.
bool Recombine(const SarName& n) {
  std::vector<Segment> parts(n.total);
  time_t newest = 0;
  unsigned missing = 0;
  for (unsigned i = 0; i < n.total; ++i) {
    time_t t = FileCreationTime(SegmentPath(n, i + 1));
    if (t == 0) ++missing;
    newest = std::max(newest, t);
  }
  if (missing > 0) {
    time_t wait = n.reference == kUnmarkedReference ? kUnmarkedSegmentWait : kSegmentWait;
    if (NowSeconds() - newest < wait) return false;
  }
  for (unsigned i = 0; i < n.total; ++i) {
    std::string path = SegmentPath(n, i + 1);
    if (FileCreationTime(path) == 0) {
      WriteDebugLogf("RecombineSARMessages", "Stopped waiting for %s", path.c_str());
      continue;
    }
    // Held by another worker or gone meanwhile: the next pass tries again.
    if (!ClaimInboundFile(path, parts[i].file, parts[i].facts)) return false;
    ParseSMSMessage(parts[i].facts.text, parts[i].message);
    parts[i].present = true;
  }
  unsigned first = 0;
  while (first < n.total && (!parts[first].present || parts[first].message.Data.empty())) ++first;
  if (first == n.total) {
    first = 0;
    while (first < n.total && !parts[first].present) ++first;
  }
  if (first == n.total) return false;
  WriteDebugLogf("RecombineSARMessages", "First valid segment is %u", first + 1);
  SmsMessageRecord whole = parts[first].message;
  whole.Inbound = true;
  whole.RecombineFlag = true;
  whole.UDH = ReadUdh(whole.UDH).otherElementsHex;
  whole.Data.clear();
  for (const Segment& s : parts) {
    if (s.present) whole.Data += s.message.Data;
  }
  if (whole.Data.size() > kDataMax) whole.Data.resize(kDataMax);
  whole.UTF8 = !whole.Binary && ContainsNonAscii(whole.Data);
  std::string path = WriteInboundFile("in", MessageFileText(whole, MessageLayout::Recombined));
  if (path.empty()) {
    WriteDebugLog("RecombineSARMessages", "Cannot create the recombined message");
    return false;
  }
  WriteDebugLogf("RecombineSARMessages", "Created %s", path.c_str());
  for (Segment& s : parts) {
    if (s.present) DeleteInboundFile(s.file);
  }
  WakeInboundWorkers(InboundWakeKind::Messages);
  return true;
}
}  // namespace

namespace {
std::atomic<uint64_t> g_segmentCopies{0};
}  // namespace

uint64_t SegmentCopiesStored() { return g_segmentCopies.load(); }
void NoteSegmentCopyStored() { g_segmentCopies.fetch_add(1); }

size_t RecombineSegments() {
  std::vector<std::string> names = ListNames(InboundDir(), "*.SAR", false);
  std::map<std::tuple<std::string, unsigned, unsigned>, SarName> messages;
  for (const std::string& name : names) {
    SarName n;
    if (ParseSarFileName(name, n)) messages.emplace(std::make_tuple(n.sender, n.reference, n.total), n);
  }
  size_t done = 0;
  for (const auto& [key, n] : messages) done += Recombine(n) ? 1 : 0;
  return done;
}

unsigned UnmarkedSegmentCount(const std::string& sender) {
  unsigned count = 0;
  for (unsigned i = 1; i <= kUnmarkedCount; ++i) {
    if (FileCreationTime(InboundDir() + SarFileName(sender, kUnmarkedReference, kUnmarkedCount, i)) != 0) ++count;
  }
  return count;
}
