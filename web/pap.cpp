#include "web/pap.h"

#include "accounting/accounting.h"
#include "config/settings.h"
#include "push/push_settings.h"
#include "httpclient/http_text.h"
#include "httpclient/socket_io.h"
#include "push/pap_request.h"
#include "push/push_delivery.h"
#include "push/wbxml.h"
#include "runtime/debug_log.h"
#include "runtime/str_printf.h"
#include "runtime/text_helpers.h"
#include "store/unique_ids.h"
#include "web/request_parameters.h"
#include "web/responses.h"

namespace {
void Answer(WebConnection& c, const char* status, const std::string& document) {
  std::string header = StrPrintf("%s %s\r\nContent-type: application/xml\r\n%sContent-length: %zu\r\n\r\n",
                                 ResponseVersion(c), status, ConnectionHeaderLine(c), document.size());
  WriteDebugLog("ParsePushRequest", header + document);
  SendData(c.socket, c.ssl, header + document);
}

void Failure(WebConnection& c, const std::string& text) {
  WriteDebugLog("ParsePushRequest", text);
  Answer(c, "200 OK", PapFailureDocument(text));
}
}  // namespace

bool HandlePushAccess(WebConnection& c, WebRequest& request) {
  std::string route;
  if (auto r = RequestParameter(request, "SMSCRoute", 100)) {
    route = std::string(Trim(*r));
    if (!route.empty() && !IsConfiguredRoute(route)) {
      WriteDebugLog("ParsePushRequest", "Unknown smscRoute=" + route);
      route.clear();
    }
  }
  std::string_view header = request.Header();
  bool post = header.substr(0, 5) == "POST ";
  PapRequest pap;
  std::string error;
  if (!ParsePapRequest(post, HttpHeaderValue(header, "Content-Type:", 1000), request.Body(), NextConcatReference(),
                       PushSettings().wbxmlVersion, pap, error)) {
    Failure(c, error);
    return true;
  }
  Submission s;
  s.message.SubmitUser = c.user;
  s.message.SubmittedBy = c.clientAddress;
  s.message.SMSCRoute = route;
  s.forcedSender = c.forcedSender;
  s.recipients = pap.recipients;
  PushDelivery d;
  d.pdu = pap.pdu;
  d.logType = "WAPPPG";
  SubmissionResult result = DeliverPush(std::move(s), d);
  if (result.status == SubmissionStatus::Refused) {
    WriteDebugLog("ThreadProcessConnection ", result.error);
    Failure(c, result.error);
    return true;
  }
  if (result.status != SubmissionStatus::Accepted) {
    Failure(c, result.error);
    return true;
  }
  for (const RecipientResult& r : result.recipients)
    if (!r.error.empty()) {
      Failure(c, r.recipient + ": " + r.error);
      return true;
    }
  Answer(c, "202 Accepted", PapSuccessDocument(pap.pushId));
  return true;
}
