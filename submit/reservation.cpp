#include <algorithm>

#include "accounting/accounting.h"
#include "runtime/debug_log.h"
#include "submit/submission_steps.h"

namespace {
bool Accounted(const Submission& s) { return !s.message.SubmitUser.empty() && !s.message.Inbound; }

bool Refuse(std::string& refusal, std::string text) {
  WriteDebugLog("MessageAccountingReject", text);
  refusal = std::move(text);
  return false;
}
}  // namespace

bool ReserveAccounting(const Submission& s, size_t segments, Reservation& r, std::string& refusal, int& code) {
  r.charges.assign(s.recipients.size(), kDefaultMessageCharge);
  r.credit = 0;
  if (!Accounted(s)) return true;
  const std::string& user = s.message.SubmitUser;
  uint32_t parts = static_cast<uint32_t>(s.recipients.size() * segments);
  std::string text;
  // Checked and counted in one step; what is not written is given back afterwards.
  if (!QuotaCheckOrCount(user, &text, parts, false)) return Refuse(refusal, text);
  AccountingMessage m{"SMSSend", s.message};
  if (int refused = AccountingPreAuthorise(m, s.recipients, parts, &r.preAuth, &text); refused != 0) {
    QuotaAdjust(user, -static_cast<int64_t>(parts));
    code = refused;
    return Refuse(refusal, text);
  }
  int64_t total = 0;
  for (size_t i = 0; i < r.charges.size(); ++i) {
    if (i < r.preAuth.charges.size() && !r.preAuth.charges[i].empty()) r.charges[i] = ParseAmount(r.preAuth.charges[i]);
    total += r.charges[i] * static_cast<int64_t>(segments);
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
  // Each written file keeps its charge; the rest of the reservation goes back.
  int64_t refund = 0;
  for (size_t i = 0; i < s.recipients.size(); ++i)
    refund += r.charges[i] * static_cast<int64_t>(segments - std::min<size_t>(out.written[i], segments));
  if (r.credit != 0 && refund != 0) CreditCheckOrDebit(user, nullptr, -refund, CreditMode::Debit);
  uint32_t reservedParts = static_cast<uint32_t>(s.recipients.size() * segments);
  if (out.files < reservedParts) QuotaAdjust(user, -static_cast<int64_t>(reservedParts - out.files));
}
