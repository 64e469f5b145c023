#include "inbound/failure_report.h"

#include "config/settings.h"
#include "config/wake_events.h"
#include "gsm/code_pages.h"
#include "gsm/gsm_alphabet.h"
#include "httpclient/accounting.h"
#include "runtime/clock.h"
#include "runtime/debug_log.h"
#include "runtime/str_printf.h"
#include "store/message_logs.h"
#include "store/store_service.h"

namespace {
std::string ReceiptDate(time_t t) {
  LocalTime local = LocalFromSeconds(t);
  return StrPrintf("%02d%02d%02d%02d%02d", local.tm.tm_year % 100, local.tm.tm_mon + 1, local.tm.tm_mday,
                   local.tm.tm_hour, local.tm.tm_min);
}

std::string ReceiptData(const SmsMessageRecord& m, std::string_view messageId, int status, time_t queuedAt,
                        time_t now) {
  // The first 19 characters, never part of one: the report's text stays UTF-8.
  std::string text;
  if (!m.Binary) {
    text = m.Data;
    QueueTextToUtf8(text);
    text = Ucs2ToUtf8(Utf8ToUcs2(text, 20));
  }
  return StrPrintf("id:%.*s sub:001 dlvrd:000 submit date:%s done date:%s stat:REJECTD err:%03X text:",
                   static_cast<int>(messageId.size()), messageId.data(), ReceiptDate(queuedAt).c_str(),
                   ReceiptDate(now).c_str(), static_cast<unsigned>(status) & 0xFFF) +
         text;
}
}  // namespace

std::string FailureReportText(const SmsMessageRecord& m, std::string_view messageId, int status,
                              std::string_view connection, time_t queuedAt, time_t now) {
  MessageFileText file("[SMS-IN]");
  file.Add("ModemName", connection);
  if (!m.SubmitUser.empty()) file.Add("RouteToLocalUser", m.SubmitUser);
  file.Add("Sender", m.PhoneNumber);
  file.Add("PhoneNumber", m.Sender);
  file.AddData(ReceiptData(m, messageId, status, queuedAt, now));
  file.Add("Binary", "0");
  file.Add("ReceiptFailed", "Yes");
  file.Add("ReceiptMessageId", messageId);
  return file.text;
}

bool WriteFailureReport(const SmsMessageRecord& m, std::string_view messageId, int status,
                        std::string_view connection, time_t queuedAt) {
  time_t now = NowSeconds();
  std::string text = FailureReportText(m, messageId, status, connection, queuedAt, now);
  if (WriteInboundFile("rec", text).empty()) {
    WriteDebugLogf("FailureReport", "Error writing the failure report for %.*s", static_cast<int>(messageId.size()),
                   messageId.data());
    return false;
  }
  std::string data = ReceiptData(m, messageId, status, queuedAt, now);
  LogInbound(m.PhoneNumber, connection, m.Sender, LogContent{false, 0, 0, "", data}, messageId, "");
  if (Settings.AccountingExtended && !Settings.SMSAccountingURL.empty()) {
    AccountingMessage notice;
    notice.type = "SMSIN";
    notice.account = m.SubmitUser;
    notice.sender = m.PhoneNumber;
    notice.content = data;
    AccountingNoticeFields fields;
    fields.recipient = m.Sender;
    fields.smscReceiptMessageId = std::string(messageId);
    fields.smscName = std::string(connection);
    AccountingNotice(notice, fields, nullptr);
  }
  InboundReceiptEvent.Set();
  return true;
}

void FailureReceiptHookFunction(const SmsMessageRecord& m, std::string_view messageId, int status,
                                std::string_view connection, time_t queuedAt) {
  WriteFailureReport(m, messageId, status, connection, queuedAt);
}
