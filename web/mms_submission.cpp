#include "web/mms_submission.h"

#include "config/settings.h"
#include "gsm/code_pages.h"
#include "mms/mms_submit.h"
#include "runtime/debug_log.h"
#include "runtime/str_printf.h"
#include "runtime/text_helpers.h"
#include "web/responses.h"
#include "web/submission.h"
#include "web/submit_parameters.h"

namespace {

constexpr size_t kTextMax = 65536;

std::optional<bool> FlagParameter(const WebRequest& r, std::string_view name) {
  auto v = SubmitParameter(r, name, 20);
  if (!v) return std::nullopt;
  return ConfigBool(*v);
}

}  // namespace

bool IsMmsSubmission(std::string_view specialContent) {
  return specialContent == "MMSText" || specialContent == "MMSImageFile" || specialContent == "MMSFile" ||
         specialContent == "MMSFile[]";
}

void HandleMmsSubmission(WebConnection& c, const WebRequest& r, const std::vector<std::string>& recipients,
                         const std::string& charset, const std::string& continueUrl) {
  MmsSubmitRequest m;
  m.recipients = recipients;
  if (auto text = SubmitParameter(r, "MMSText", kTextMax)) {
    std::string converted = *text;
    if (!charset.empty() && !EqualsNoCase(charset, "utf-8")) {
      unsigned codePage = CodePageForCharset(charset);
      if (codePage == 0) {
        SendErrorPage(c, "400 Bad Request", "Invalid Parameter", "Invalid Parameter", "Unknown charset=" + charset);
        return;
      }
      CodePageToUtf8(converted, kTextMax * 4, codePage);
    }
    m.text = converted;
  }
  for (const auto& [name, value] : AllSubmitParameters(r, 8192)) {
    if (!EqualsNoCase(name, "MMSFile") && !EqualsNoCase(name, "MMSFile[]") && !EqualsNoCase(name, "MMSImageFile"))
      continue;
    if (Trim(value).empty()) continue;
    m.files.push_back({value, UploadedFilePath(r, value), UploadedFileClientName(r, value)});
  }
  m.subject = SubmitParameterOr(r, "MMSSUBJECT", 1023);
  m.from = NormaliseMmsSender(SubmitParameterOr(r, "MMSFROM", 255), Settings.AllowAlphaRecip);
  m.deliveryReport = FlagParameter(r, "MMSDeliveryReport");
  m.readReport = FlagParameter(r, "MMSReadReport");
  m.priority = SubmitParameterOr(r, "MMSPriority", 49);
  m.messageClass = SubmitParameterOr(r, "MMSMessageClass", 49);
  m.bcc = SubmitFlag(r, "MMSBCC");
  m.headers = SubmitParameterOr(r, "MMSHeaders", 16384);
  m.applicId = SubmitParameterOr(r, "MMSApplicID", 255);
  m.replyApplicId = SubmitParameterOr(r, "MMSReplyApplicID", 255);
  if (SubmitFlag(r, "MMSWAPPush") || SubmitFlag(r, "MMWAPPush")) m.pushKind = "WAPP";
  else if (SubmitFlag(r, "MMSSMSPush") || SubmitFlag(r, "MMSMSPush")) m.pushKind = "SMSP";
  m.pushTemplate = SubmitParameterOr(r, "MMWAPTemplate", 255);
  m.wapUrlOnly = SubmitFlag(r, "MMWAPURLOnly");
  for (const std::string& name : Settings.ExtraHttpArgList)
    if (auto v = SubmitParameter(r, name, 8192)) m.passedOn.emplace_back(name, *v);
  for (unsigned n = 1;; ++n) {
    std::string name = StrPrintf("MMWAPTemplate-%u", n);
    auto v = SubmitParameter(r, name, 8192);
    if (!v) break;
    m.passedOn.emplace_back(name, *v);
  }
  m.forwardLock = SubmitFlag(r, "MMSForwardLock");
  m.drmRestrict = SubmitFlag(r, "DRMRestrict");
  // Text XML unless the client turns it off.
  m.rightsAsXml = FlagParameter(r, "DRMRestrictTextXML").value_or(true);
  m.play = SubmitFlag(r, "DRMPermissionPlay");
  m.display = SubmitFlag(r, "DRMPermissionDisplay");
  m.execute = SubmitFlag(r, "DRMPermissionExecute");
  m.print = SubmitFlag(r, "DRMPermissionPrint");
  m.count = SubmitParameterOr(r, "DRMConstraintCount", 20);
  m.start = SubmitParameterOr(r, "DRMConstraintStart", 49);
  m.end = SubmitParameterOr(r, "DRMConstraintEnd", 49);
  m.interval = SubmitParameterOr(r, "DRMConstraintInterval", 49);
  MmsSubmitResult result = SubmitMMS(m);
  switch (result.status) {
    case MmsSubmitStatus::Accepted: SendSubmitOkPage(c, continueUrl, {result.text}); return;
    case MmsSubmitStatus::ServiceInactive:
      SendErrorPage(c, "503 Service Unavailable", "MMS Service Not Active", "MMS Service Not Active",
                    "The MMS service is not running; the message was not submitted.");
      return;
    case MmsSubmitStatus::Failed:
      SendErrorPage(c, "500 Internal Server Error", "Internal Error", "Internal Error", result.text);
      return;
  }
}
