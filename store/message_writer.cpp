#include "store/message_writer.h"

#include "runtime/names.h"
#include "runtime/str_printf.h"
#include "runtime/text_helpers.h"

namespace {
struct Lines {
  std::string text;
  void Put(std::string_view key, std::string_view value) { AppendKeyValueLine(text, key, value); }
  void IfSet(std::string_view key, std::string_view value) {
    if (!value.empty()) Put(key, value);
  }
  void Yes(std::string_view key, bool on) {
    if (on) Put(key, "Yes");
  }
  void One(std::string_view key, bool on) {
    if (on) Put(key, "1");
  }
  void Data(std::string_view data) { Put("Data", EscapeCrLf(data)); }
  void Hex(std::string_view key, uint8_t value, const char* format) {
    if (value != 0) Put(key, StrPrintf(format, value));
  }
};

bool Has(const SmsMessageRecord& m, uint32_t bits) { return (m.MessageFlags & bits) != 0; }

// The outcome of a delivery report (first of in transit, failed, delivered) and its id.
void ReportLines(Lines& f, const SmsMessageRecord& m, bool idWhenEmpty) {
  if (!Has(m, kMsgIsReport)) return;
  if (Has(m, kMsgReportIntransit)) f.Put("ReceiptIntransit", "Yes");
  else if (Has(m, kMsgReportFailed)) f.Put("ReceiptFailed", "Yes");
  else if (Has(m, kMsgReportDelivered)) f.Put("ReceiptDelivered", "Yes");
  if (idWhenEmpty) f.Put("ReceiptMessageId", m.ReceiptMessageId);
  else f.IfSet("ReceiptMessageId", m.ReceiptMessageId);
}

void ExtraLines(Lines& f, const SmsMessageRecord& m) {
  for (const auto& [name, value] : m.ExtraArguments) f.Put(name, value);
}

void Submission(Lines& f, const SmsMessageRecord& m, bool segment) {
  f.IfSet("SubmitUser", m.SubmitUser);
  f.IfSet("SubmittedBy", m.SubmittedBy);
  if (segment) f.IfSet("PhoneNumber", m.PhoneNumber);
  f.IfSet("Sender", m.Sender);
  f.Yes("ReplyRequested", Has(m, kMsgReplyRequested));
  f.Yes("ReceiptRequested", Has(m, kMsgReceiptRequested));
  f.Yes("ReceiptDelivered", Has(m, kMsgReportDelivered));
  f.Yes("ReceiptFailed", Has(m, kMsgReportFailed));
  f.Yes("ReceiptIntransit", Has(m, kMsgReportIntransit));
  f.IfSet("ReceiptMessageID", m.ReceiptMessageId);
  f.IfSet("RouteToLocalUser", m.RouteToLocalUser);
  f.IfSet("Validity", m.Validity);
  f.IfSet("ServiceType", m.ServiceType);
  f.IfSet("BillingInfo", m.BillingInfo);
  f.IfSet("AcctInfo", m.AcctInfo);
  auto route = [&] {
    f.IfSet("SMSCRoute", m.SMSCRoute);
    f.IfSet("ModemName", m.ModemName);
  };
  if (segment) route();
  f.IfSet("SMPPOptions", m.SMPPOptions);
  if (!m.Data.empty()) f.Data(m.Data);
  f.IfSet("UDH", m.UDH);
  f.Hex("pid", m.Pid, "%02X");
  f.Hex("dcs", m.Dcs, "%02X");
  f.One("Binary", m.Binary);
  if (!segment) {
    f.IfSet("PhoneNumber", m.PhoneNumber);
    route();
  }
  ExtraLines(f, m);
}

// first: the ModemName line of a received message or the SMSCRoute line of a re-routed one.
void Received(Lines& f, const SmsMessageRecord& m, bool reRouted) {
  if (reRouted) f.IfSet("SMSCRoute", m.SMSCRoute);
  else f.Put("ModemName", m.ModemName);
  f.Put("Sender", m.Sender);
  f.IfSet("PhoneNumber", m.PhoneNumber);
  f.IfSet("UDH", m.UDH);
  f.Hex("pid", m.Pid, "%X");
  f.Hex("dcs", m.Dcs, "%X");
  f.Data(m.Data);
  f.One("Binary", m.Binary);
  f.One("UTF8", m.UTF8);
  f.Yes("ReceiptRequested", Has(m, kMsgReceiptRequested));
  f.Yes("NonDelReceiptRequested", Has(m, kMsgNonDelReceiptRequested));
  ReportLines(f, m, true);
  f.IfSet("ServiceType", m.ServiceType);
  f.IfSet("SMPPOptions", m.SMPPOptions);
  f.IfSet("RouteToLocalUser", m.RouteToLocalUser);
  f.IfSet("ReceivedSMSC", m.ReceivedSMSC);
}

void LocalDelivery(Lines& f, const SmsMessageRecord& m) {
  f.Put("Sender", m.Sender);
  f.Put("PhoneNumber", m.PhoneNumber);
  f.Data(m.Data);
  f.IfSet("UDH", m.UDH);
  f.Put("pid", StrPrintf("%02X", m.Pid));
  f.Put("dcs", StrPrintf("%02X", m.Dcs));
  f.Put("Binary", m.Binary ? "1" : "0");
  f.Yes("ReplyRequested", Has(m, kMsgReplyRequested));
  f.Yes("ReceiptRequested", Has(m, kMsgReceiptRequested));
  f.Yes("NonDelReceiptRequested", Has(m, kMsgNonDelReceiptRequested));
  ReportLines(f, m, false);
  f.IfSet("ServiceType", m.ServiceType);
  f.IfSet("ModemName", m.ModemName);
  f.IfSet("ReceivedSMSC", m.ReceivedSMSC);
  f.IfSet("BillingInfo", m.BillingInfo);
  f.IfSet("AcctInfo", m.AcctInfo);
  f.IfSet("SMPPOptions", m.SMPPOptions);
}

void FailureReport(Lines& f, const SmsMessageRecord& m) {
  f.Put("ModemName", m.ModemName);
  f.IfSet("RouteToLocalUser", m.RouteToLocalUser);
  f.Put("Sender", m.Sender);
  f.Put("PhoneNumber", m.PhoneNumber);
  f.Data(m.Data);
  f.Put("Binary", m.Binary ? "1" : "0");
  ReportLines(f, m, true);
}

void Recombined(Lines& f, const SmsMessageRecord& m) {
  f.Put("Sender", m.Sender);
  f.IfSet("PhoneNumber", m.PhoneNumber);
  f.IfSet("ModemName", m.ModemName);
  f.IfSet("UDH", m.UDH);
  f.Put("pid", StrPrintf("%X", m.Pid));
  f.Put("dcs", StrPrintf("%X", m.Dcs));
  f.One("Binary", m.Binary);
  f.One("UTF8", m.UTF8);
  f.Put("RecombineFlag", "Yes");
  f.IfSet("ReceivedSMSC", m.ReceivedSMSC);
  f.IfSet("ServiceType", m.ServiceType);
  f.IfSet("SMPPOptions", m.SMPPOptions);
  f.Yes("ReceiptRequested", Has(m, kMsgReceiptRequested));
  f.Yes("NonDelReceiptRequested", Has(m, kMsgNonDelReceiptRequested));
  f.Yes("ReceiptIntransit", Has(m, kMsgIsReport) && Has(m, kMsgReportIntransit));
  f.Yes("ReceiptFailed", Has(m, kMsgIsReport) && Has(m, kMsgReportFailed));
  f.Yes("ReceiptDelivered", Has(m, kMsgIsReport) && Has(m, kMsgReportDelivered));
  f.IfSet("ReceiptMessageId", m.ReceiptMessageId);
  f.Data(m.Data);
}

void WapPush(Lines& f, const SmsMessageRecord& m) {
  f.Put("Sender", m.Sender);
  f.Put("UDH", m.UDH);
  f.Put("DCS", StrPrintf("%X", m.Dcs));
  f.Data(m.Data);
}

void Complete(Lines& f, const SmsMessageRecord& m) {
  f.IfSet("PhoneNumber", m.PhoneNumber);
  f.IfSet("Sender", m.Sender);
  if (!m.Data.empty()) f.Data(m.Data);
  f.IfSet("UDH", m.UDH);
  f.Hex("pid", m.Pid, "%02X");
  f.Hex("dcs", m.Dcs, "%02X");
  f.One("Binary", m.Binary);
  f.IfSet("SubmitUser", m.SubmitUser);
  f.IfSet("SubmittedBy", m.SubmittedBy);
  f.IfSet("ServiceType", m.ServiceType);
  f.IfSet("RouteToLocalUser", m.RouteToLocalUser);
  f.IfSet("SMPPOptions", m.SMPPOptions);
  f.IfSet("SMSCRoute", m.SMSCRoute);
  f.IfSet("ModemName", m.ModemName);
  f.IfSet("ReceivedSMSC", m.ReceivedSMSC);
  f.IfSet("Validity", m.Validity);
  f.IfSet("BillingInfo", m.BillingInfo);
  f.IfSet("AcctInfo", m.AcctInfo);
  f.Yes("ReplyRequested", Has(m, kMsgReplyRequested));
  f.Yes("ReceiptRequested", Has(m, kMsgReceiptRequested));
  f.Yes("NonDelReceiptRequested", Has(m, kMsgNonDelReceiptRequested));
  f.Yes("ReceiptDelivered", Has(m, kMsgReportDelivered));
  f.Yes("ReceiptIntransit", Has(m, kMsgReportIntransit));
  f.Yes("ReceiptFailed", Has(m, kMsgReportFailed));
  f.IfSet("ReceiptMessageId", m.ReceiptMessageId);
  f.One("RecombineFlag", m.RecombineFlag);
  f.One("UTF8", m.UTF8);
  ExtraLines(f, m);
  if (m.RetryCount == 0) return;
  AppendErrorDetail(f.text, m.RetryCount, m.LastRetryTime.absent() ? "" : FormatCalendarTime14(m.LastRetryTime),
                    m.FirstAttemptTime.absent() ? "" : FormatCalendarTime14(m.FirstAttemptTime), m.LastErrorInfo);
}
}  // namespace

std::string MessageFileText(const SmsMessageRecord& m, MessageLayout layout) {
  Lines f;
  f.text = m.Inbound ? "[SMS-IN]\r\n" : "[SMS]\r\n";
  switch (layout) {
    case MessageLayout::Submission: Submission(f, m, false); break;
    case MessageLayout::SubmissionSegment: Submission(f, m, true); break;
    case MessageLayout::Received: Received(f, m, false); break;
    case MessageLayout::ReRouted: Received(f, m, true); break;
    case MessageLayout::LocalDelivery: LocalDelivery(f, m); break;
    case MessageLayout::FailureReport: FailureReport(f, m); break;
    case MessageLayout::WapPush: WapPush(f, m); break;
    case MessageLayout::Recombined: Recombined(f, m); break;
    case MessageLayout::Complete: Complete(f, m); break;
  }
  return f.text;
}
