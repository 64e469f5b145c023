#include <algorithm>

#include "accounting/accounting.h"
#include "runtime/debug_log.h"
#include "submit/submission_steps.h"

namespace {
bool Accounted(const Submission& s) { return !s.message.SubmitUser.empty() && !s.message.Inbound; }

// A recipient's share: every segment for a file recipient, one for a direct one.
size_t PartsOf(const Submission& s, size_t segments, size_t i) { return i < s.recipients.size() ? segments : 1; }

// The file recipients with their parts, then the direct ones with one part each, so that
// each is asked about what it will get; the outputs in the order of the recipients.
int PreAuthorise(const Submission& s, size_t segments, PreAuthOutputs& out, std::string& text) {
  AccountingMessage m{"SMSSend", s.message};
  if (!s.recipients.empty() || s.directRecipients.empty()) {
    uint32_t parts = static_cast<uint32_t>(s.recipients.size() * segments);
    if (int refused = AccountingPreAuthorise(m, s.recipients, parts, &out, &text); refused != 0) return refused;
  }
  if (s.directRecipients.empty()) return 0;
  PreAuthOutputs direct;
  uint32_t parts = static_cast<uint32_t>(s.directRecipients.size());
  if (int refused = AccountingPreAuthorise(m, s.directRecipients, parts, &direct, &text); refused != 0) return refused;
  for (auto* v : {&out.routes, &out.charges, &out.userData}) v->resize(s.recipients.size());
  for (size_t i = 0; i < s.directRecipients.size(); ++i) {
    auto at = [i](const std::vector<std::string>& v) { return i < v.size() ? v[i] : std::string(); };
    out.routes.push_back(at(direct.routes));
    out.charges.push_back(at(direct.charges));
    out.userData.push_back(at(direct.userData));
  }
  return 0;
}

bool Refuse(std::string& refusal, std::string text) {
  WriteDebugLog("MessageAccountingReject", text);
  refusal = std::move(text);
  return false;
}
}  // namespace

bool ReserveAccounting(const Submission& s, size_t segments, Reservation& r, std::string& refusal, int& code) {
  r.charges.assign(s.recipients.size() + s.directRecipients.size(), kDefaultMessageCharge);
  r.credit = 0;
  if (!Accounted(s)) return true;
  const std::string& user = s.message.SubmitUser;
  uint32_t parts = static_cast<uint32_t>(s.recipients.size() * segments + s.directRecipients.size());
  std::string text;
  // Checked and counted in one step; what is not written is given back afterwards.
  if (!QuotaCheckOrCount(user, &text, parts, false)) return Refuse(refusal, text);
  if (int refused = PreAuthorise(s, segments, r.preAuth, text); refused != 0) {
    QuotaAdjust(user, -static_cast<int64_t>(parts));
    code = refused;
    return Refuse(refusal, text);
  }
  int64_t total = 0;
  for (size_t i = 0; i < r.charges.size(); ++i) {
    if (i < r.preAuth.charges.size() && !r.preAuth.charges[i].empty()) r.charges[i] = ParseAmount(r.preAuth.charges[i]);
    total += r.charges[i] * static_cast<int64_t>(PartsOf(s, segments, i));
  }
  // Check and reservation in one step, so that concurrent submissions cannot overdraw.
  if (CreditCheckOrDebit(user, &text, total, CreditMode::DebitIfCovered) < 0) {
    QuotaAdjust(user, -static_cast<int64_t>(parts));
    return Refuse(refusal, text);
  }
  r.credit = CreditEnabled(user) ? total : 0;
  r.accounted = true;
  return true;
}

void SettleAccounting(const Submission& s, size_t segments, const Reservation& r, const WriteOutcome& out) {
  if (!r.accounted) return;
  const std::string& user = s.message.SubmitUser;
  // Each written file and sent datagram keeps its charge; the rest of the reservation goes back.
  int64_t refund = 0;
  uint32_t done = out.files;
  for (size_t i = 0; i < r.charges.size(); ++i) {
    size_t kept = 0;
    if (i < s.recipients.size()) {
      kept = std::min<size_t>(i < out.written.size() ? out.written[i] : 0, segments);
    } else {
      size_t d = i - s.recipients.size();
      kept = d < out.directSent.size() && out.directSent[d] ? 1 : 0;
      done += static_cast<uint32_t>(kept);
    }
    refund += r.charges[i] * static_cast<int64_t>(PartsOf(s, segments, i) - kept);
  }
  if (r.credit != 0 && refund != 0) CreditCheckOrDebit(user, nullptr, -refund, CreditMode::Debit);
  uint32_t reservedParts = static_cast<uint32_t>(s.recipients.size() * segments + s.directRecipients.size());
  if (done < reservedParts) QuotaAdjust(user, -static_cast<int64_t>(reservedParts - done));
}
