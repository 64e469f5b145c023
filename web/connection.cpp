#include "runtime/debug_log.h"
#include "config/settings.h"
#include "runtime/str_printf.h"
#include "runtime/text_helpers.h"
#include "runtime/thread_registry.h"
#include "web/address_checks.h"
#include "httpclient/http_text.h"
#include "web/responses.h"
#include "outside/seal_table.h"
#include "accounting/user_entries.h"
#include "web/web_server.h"
#include "web/web_settings.h"

namespace {
// Method, path and version of the request line.
struct RequestLine {
  std::string_view method, path, version;
};

RequestLine SplitRequestLine(std::string_view header) {
  std::string_view line = header.substr(0, FindLineEnd(header));
  RequestLine r;
  size_t sp1 = line.find(' ');
  r.method = line.substr(0, sp1);
  if (sp1 == std::string_view::npos) return r;
  std::string_view rest = SkipSpaces(line.substr(sp1));
  size_t sp2 = rest.find(' ');
  r.path = rest.substr(0, sp2);
  if (sp2 != std::string_view::npos) r.version = SkipSpaces(rest.substr(sp2));
  return r;
}

void NoteVersionAndKeepAlive(WebConnection& c, const WebRequest& request) {
  RequestLine line = SplitRequestLine(request.Header());
  c.keepAlive = Settings.EnableKeepAlive;
  c.http11 = EqualsNoCase(line.version.substr(0, 8), "HTTP/1.1");
  if (!c.http11) c.keepAlive = false;
  auto connection = HttpHeaderValue(request.Header(), "Connection:", 100);
  if (connection && EqualsNoCase(Trim(*connection), "close")) c.keepAlive = false;
  auto agent = HttpHeaderValue(request.Header(), "User-agent:", 100);
  c.browser = agent && agent->find("Mozilla") != std::string::npos;
  c.path = CutTo(line.path, 1024);
  c.isPost = StartsWithNoCase(request.text, "POST ");
}

// Plain requests while TLS is offered: the administration area, or everything with
// SSLRedirect, goes to the TLS port. True when answered.
bool EnforceSsl(WebConnection& c, const WebRequest& request) {
  if (c.ssl != nullptr || !SealCalls.Available || Settings.WebPortSSL == 0) return false;
  auto host = HttpHeaderValue(request.Header(), "Host:", 100, true);
  if (StartsWithNoCase(c.path, "/ADMIN") && host) {
    SendRedirectToSsl(c, *host, Settings.WebPortSSL, true);
    return true;
  }
  if (!Settings.SSLRedirect) return false;
  if (host) SendRedirectToSsl(c, *host, Settings.WebPortSSL, false);
  else SendForbidden(c, "ERROR:  SSL must be used to access this server");
  return true;
}

void AnswerTooLarge(WebConnection& c, const WebRequest& request, const char* label) {
  // The header may be incomplete: take what can be seen of it.
  std::string_view seen = std::string_view(request.text).substr(0, 8192);
  WebRequest partial;
  partial.text = seen;
  partial.headerLength = seen.size();
  NoteVersionAndKeepAlive(c, partial);
  c.keepAlive = false;
  WriteDebugLogf(label, "Request from %s exceeds %llu bytes", c.clientAddress.c_str(),
                 static_cast<unsigned long long>(WebSettings.MaxWebRequestBytes));
  SendErrorPage(c, "413 Request Entity Too Large", "Request too large",
                StrPrintf("The request exceeds the limit of %llu bytes",
                          static_cast<unsigned long long>(WebSettings.MaxWebRequestBytes)));
}

void HandleOneRequest(WebConnection& c, WebRequest& request, const char* label) {
  NoteVersionAndKeepAlive(c, request);
  if (EnforceSsl(c, request)) return;
  if (!IPRestrictionAllows(c.clientAddress)) {
    WriteDebugLogf(label, "Connection not allowed from %s...\n", c.clientAddress.c_str());
    SendForbidden(c, StrPrintf("ERROR:  Connection not allowed from %s.", c.clientAddress.c_str()));
    return;
  }
  WebHandler privileged;
  if (StartsWithNoCase(c.path, "/ADMIN")) privileged = WebHandlerFor(WebRoute::Admin);
  else if (StartsWithNoCase(c.path, "/PROVISION")) privileged = WebHandlerFor(WebRoute::Provision);
  if (privileged) {
    c.keepAlive = false;
    privileged(c, request);
    return;
  }
  if (!AuthenticateRequest(c, request)) return;
  if (!c.user.empty() || Settings.SeparateUserQueues) {
    UserEntryUse made(c.user.empty() ? kSystemUserEntry : c.user);  // the entry exists from here on
  }
  FailedLoginCount.store(0);
  WriteDebugLogf(label, "Processing request %s", c.path.c_str());
  DispatchWebRequest(c, request);
}
}  // namespace

void ProcessConnection(WebConnection& c) {
  const char* label = c.ssl != nullptr ? "ThreadProcessSSLConnection" : "ThreadProcessConnection";
  WriteDebugLogf(label, "Processing connection from %s:%u...", c.clientAddress.c_str(), c.clientPort);
  c.keepAlive = true;
  while (c.keepAlive && ShutdownRequested.load() == 0) {
    WebRequest request;
    ReadOutcome outcome = ProcessRead(c, request);
    if (outcome == ReadOutcome::Failed) break;
    if (outcome == ReadOutcome::TooLarge) {
      AnswerTooLarge(c, request, label);
      break;
    }
    HandleOneRequest(c, request, label);
  }
  c.pipeline.clear();
}
