#include "inbound/failure_report.h"

#include "config/settings.h"
#include "inbound/inbound_wake.h"
#include "gsm/code_pages.h"
#include "gsm/gsm_alphabet.h"
#include "accounting/accounting.h"
#include "runtime/clock.h"
#include "runtime/debug_log.h"
#include "runtime/str_printf.h"
#include "store/message_logs.h"
#include "store/message_writer.h"
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

// The report's record; its SubmitUser (not written) is the account the accounting notice names.
SmsMessageRecord FailureReportRecord(const SmsMessageRecord& m, std::string_view messageId, int status,
                                     std::string_view connection, time_t queuedAt, time_t now) {
  SmsMessageRecord report;
  report.Inbound = true;
  report.ModemName = connection;
  report.RouteToLocalUser = m.SubmitUser;
  report.SubmitUser = m.SubmitUser;
  report.Sender = m.PhoneNumber;
  report.PhoneNumber = m.Sender;
  report.Data = ReceiptData(m, messageId, status, queuedAt, now);
  report.MessageFlags = kMsgIsReport | kMsgReportFailed;
  report.ReceiptMessageId = messageId;
  return report;
}
}  // namespace

std::string FailureReportText(const SmsMessageRecord& m, std::string_view messageId, int status,
                              std::string_view connection, time_t queuedAt, time_t now) {
  return MessageFileText(FailureReportRecord(m, messageId, status, connection, queuedAt, now),
                         MessageLayout::FailureReport);
}

bool WriteFailureReport(const SmsMessageRecord& m, std::string_view messageId, int status,
                        std::string_view connection, time_t queuedAt) {
  SmsMessageRecord report = FailureReportRecord(m, messageId, status, connection, queuedAt, NowSeconds());
  if (WriteInboundFile("rec", MessageFileText(report, MessageLayout::FailureReport)).empty()) {
    WriteDebugLogf("FailureReport", "Error writing the failure report for %.*s", static_cast<int>(messageId.size()),
                   messageId.data());
    return false;
  }
  LogInbound(m.PhoneNumber, connection, m.Sender, LogContent{false, 0, 0, "", report.Data}, messageId, "");
  if (Settings.AccountingExtended && !Settings.SMSAccountingURL.empty()) {
    AccountingMessage notice{"SMSIN", report};
    AccountingNoticeFields fields;
    fields.recipient = m.Sender;
    fields.smscReceiptMessageId = std::string(messageId);
    fields.smscName = std::string(connection);
    AccountingNotice(notice, fields, nullptr);
  }
  WakeInboundWorkers(InboundWakeKind::Reports);
  return true;
}

void FailureReceiptHookFunction(const SmsMessageRecord& m, std::string_view messageId, int status,
                                std::string_view connection, time_t queuedAt) {
  WriteFailureReport(m, messageId, status, connection, queuedAt);
}
