// The steps of SubmitMessage that live in files of their own: the accounting around the
// writing, and the writing.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "accounting/accounting.h"
#include "submit/message_parts.h"
#include "submit/submission.h"

struct Reservation {
  PreAuthOutputs preAuth;        // per recipient: route, charge, user data
  std::vector<int64_t> charges;  // per recipient, for one part
  int64_t credit = 0;            // debited before writing
  bool accounted = false;        // quota and credit were taken
};

// Quota, pre-authorisation and credit for every part of every recipient, each checked and
// taken in one step. On refusal (false, with the text logged and in refusal, the callback's
// code in code) nothing stays reserved.
bool ReserveAccounting(const Submission& s, size_t segments, Reservation& r, std::string& refusal, int& code);

struct WriteOutcome {
  std::vector<RecipientResult> results;  // one per recipient, in order
  std::vector<uint32_t> written;         // per recipient: files written
  uint32_t files = 0;
  std::vector<bool> directSent;          // per direct recipient
};

// The message files of every recipient (a bulk job for a large list), each logged,
// counted and noticed to the accounting callback.
void WriteSubmissionFiles(const Submission& s, std::string_view logType, const std::vector<MessagePart>& parts,
                          const PreAuthOutputs& preAuth, WriteOutcome& out);

// Hands the message to each direct recipient, after the files, with its result.
void SendDirect(const Submission& s, const PreAuthOutputs& preAuth, WriteOutcome& out);

// Gives back the quota and credit of the parts that were not written or sent.
void SettleAccounting(const Submission& s, size_t segments, const Reservation& r, const WriteOutcome& out);
