#include "push/wsp_tables.h"

namespace {
constexpr const char* kContentTypes[] = {
    "*/*", "text/*", "text/html", "text/plain", "text/x-hdml", "text/x-ttml", "text/x-vCalendar", "text/x-vCard",
    "text/vnd.wap.wml", "text/vnd.wap.wmlscript", "text/vnd.wap.wta-event", "multipart/*", "multipart/mixed",
    "multipart/form-data", "multipart/byteranges", "multipart/alternative", "application/*", "application/java-vm",
    "application/x-www-form-urlencoded", "application/x-hdmlc", "application/vnd.wap.wmlc",
    "application/vnd.wap.wmlscriptc", "application/vnd.wap.wta-eventc", "application/vnd.wap.uaprof",
    "application/vnd.wap.wtls-ca-certificate", "application/vnd.wap.wtls-user-certificate",
    "application/x-x509-ca-cert", "application/x-x509-user-cert", "image/*", "image/gif", "image/jpeg", "image/tiff",
    "image/png", "image/vnd.wap.wbmp", "application/vnd.wap.multipart.*", "application/vnd.wap.multipart.mixed",
    "application/vnd.wap.multipart.form-data", "application/vnd.wap.multipart.byteranges",
    "application/vnd.wap.multipart.alternative", "application/xml", "text/xml", "application/vnd.wap.wbxml",
    "application/x-x968-cross-cert", "application/x-x968-ca-cert", "application/x-x968-user-cert",
    "text/vnd.wap.si", "application/vnd.wap.sic", "text/vnd.wap.sl", "application/vnd.wap.slc", "text/vnd.wap.co",
    "application/vnd.wap.coc", "application/vnd.wap.multipart.related", "application/vnd.wap.sia",
    "text/vnd.wap.connectivity-xml", "application/vnd.wap.connectivity-wbxml", "application/pkcs7-mime",
    "application/vnd.wap.hashed-certificate", "application/vnd.wap.signed-certificate",
    "application/vnd.wap.cert-response", "application/xhtml+xml", "application/wml+xml", "text/css",
    "application/vnd.wap.mms-message", "application/vnd.wap.rollover-certificate", "application/vnd.wap.locc+wbxml",
    "application/vnd.wap.loc+xml", "application/vnd.syncml.dm+wbxml", "application/vnd.syncml.dm+xml",
    "application/vnd.syncml.notification", "application/vnd.wap.xhtml+xml", "application/vnd.wv.csp.cir",
    "application/vnd.oma.dd+xml", "application/vnd.oma.drm.message", "application/vnd.oma.drm.content",
    "application/vnd.oma.drm.rights+xml", "application/vnd.oma.drm.rights+wbxml", "application/vnd.wv.csp+xml",
    "application/vnd.wv.csp+wbxml", "application/vnd.syncml.ds.notification", "audio/*", "video/*",
    "application/vnd.oma.dd2+xml", "application/mikey"};

constexpr WspCharset kCharsets[] = {
    {"us-ascii", 3},      {"iso-8859-1", 4},  {"iso-8859-2", 5},  {"iso-8859-3", 6},    {"iso-8859-4", 7},
    {"iso-8859-5", 8},    {"iso-8859-6", 9},  {"iso-8859-7", 10}, {"iso-8859-8", 11},   {"iso-8859-9", 12},
    {"shift_JIS", 17},    {"utf-8", 106},     {"iso-10646-ucs-2", 1000}, {"ucs-2", 1000}, {"utf-16", 1015},
    {"gb2312", 2025},     {"big5", 2026},     {"windows-1252", 2252}, {"latin1", 4},      {"utf8", 106}};
}  // namespace

std::span<const char* const> WspContentTypeNames() { return kContentTypes; }
std::span<const WspCharset> WspCharsets() { return kCharsets; }
