#include <array>

#include "runtime/text_helpers.h"
#include "runtime/mutex.h"
#include "web/request_parameters.h"
#include "web/responses.h"
#include "web/web_menu.h"
#include "web/web_server.h"

namespace {
Mutex HandlersLock;
std::array<WebHandler, static_cast<size_t>(WebRoute::Count)> Handlers GUARDED_BY(HandlersLock);
RequestRewriter MultipartRewriter GUARDED_BY(HandlersLock);
}  // namespace

void RegisterWebHandler(WebRoute route, WebHandler handler) {
  MutexLock guard(HandlersLock);
  Handlers[static_cast<size_t>(route)] = std::move(handler);
}

WebHandler WebHandlerFor(WebRoute route) {
  MutexLock guard(HandlersLock);
  return Handlers[static_cast<size_t>(route)];
}

void SetMultipartRewriter(RequestRewriter rewriter) {
  MutexLock guard(HandlersLock);
  MultipartRewriter = std::move(rewriter);
}

void DispatchWebRequest(WebConnection& c, WebRequest& request) {
  bool pushPath = StartsWithNoCase(c.path, "/PAP") || StartsWithNoCase(c.path, "/PPG");
  bool listPath = StartsWithNoCase(c.path, "/DLists") || StartsWithNoCase(c.path, "/AddrBook");
  if (pushPath) {
    if (WebHandler h = WebHandlerFor(WebRoute::PushAccess); h && h(c, request)) return;
  } else if (listPath) {
    WebRoute route = StartsWithNoCase(c.path, "/DLists") ? WebRoute::DistributionLists : WebRoute::AddressBook;
    if (WebHandler h = WebHandlerFor(route)) {
      if (!h(c, request)) SendNotFound(c);
      return;
    }
  } else {
    if (FindNoCase(request.text, "multipart/form-data") != std::string::npos ||
        FindNoCase(request.text, "multipart\\form-data") != std::string::npos) {
      RequestRewriter rewrite;
      {
        MutexLock guard(HandlersLock);
        rewrite = MultipartRewriter;
      }
      if (rewrite) rewrite(request);
    }
    if (RequestParameter(request, "Phone", 100) || RequestParameter(request, "PhoneNumber", 100) ||
        RequestParameter(request, "ReceiptMessageId", 100) || RequestParameter(request, "OTA_SUBMIT_VIEWXML", 16)) {
      if (WebHandler h = WebHandlerFor(WebRoute::Submission); h && h(c, request)) return;
    }
  }
  SendWebMenu(c, request);
}
