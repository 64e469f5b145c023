#include "inbound/two_way_command.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>

#include "config/settings_registry.h"
#include "gsm/code_pages.h"
#include "httpclient/http_client.h"
#include "httpclient/http_text.h"
#include "runtime/config_access.h"
#include "runtime/debug_log.h"
#include "runtime/file_io.h"
#include "runtime/hex_text.h"
#include "runtime/names.h"
#include "runtime/process_runner.h"
#include "runtime/str_printf.h"
#include "runtime/text_helpers.h"
#include "runtime/unique_fd.h"
#include "smsc/route_decision.h"
#include "store/unique_files.h"

namespace {
constexpr size_t kKeywordPatternMax = 250, kCommandMax = 2048, kRecipientsMax = 1024;
constexpr size_t kKeywordMax = 199;
constexpr size_t kCommandResultMax = 8192;
constexpr size_t kOutputMax = 10240;
constexpr unsigned kProgramTimeoutMs = 300000;
constexpr uint32_t kHttpTimeoutSeconds = 60;

bool IsHttpCommand(std::string_view c) { return StartsWithNoCase(c, "http://") || StartsWithNoCase(c, "https://"); }
bool IsMailCommand(std::string_view c) { return StartsWithNoCase(c, "mailto:"); }

std::string_view FromFirstNonBlank(std::string_view text) {
  size_t at = 0;
  while (at < text.size() && uint8_t(text[at]) <= ' ') ++at;
  return text.substr(at);
}

// Control characters after the keyword become spaces for programs.
std::string ControlsAsSpaces(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (uint8_t(c) < 32 || c == 127) c = ' ';
  }
  return out;
}

std::string TokenValue(std::string_view token, const TokenValues& v, bool& known) {
  known = true;
  auto is = [&](const char* name) { return EqualsNoCase(token, name); };
  if (is("SENDER")) return v.sender;
  if (is("RECIP")) return v.recipient;
  if (is("SMSPREFIX")) return v.keyword;
  if (is("FULLSMS") || is("TEXT")) return v.text;
  if (is("SMS")) return v.rest;
  if (is("Binary")) return v.binary ? "1" : "0";
  if (is("UDH")) return v.udh;
  if (is("PID")) return StrPrintf("%02X", v.pid);
  if (is("DCS")) return StrPrintf("%02X", v.dcs);
  if (is("MESSAGEID")) return v.messageId;
  if (is("RECEIPTMESSAGEID")) return v.receiptMessageId;
  if (is("SERVICETYPE")) return v.serviceType;
  if (is("RECEIVEDSMSC")) return v.receivedSmsc;
  if (is("SMSCROUTE")) return v.route;
  if (is("MSGDATE")) return v.date;
  if (is("MSGTIME")) return v.time;
  known = false;
  return {};
}

std::string HttpStatusLine(const HttpResponse& r) {
  size_t end = r.text.find_first_of("\r\n");
  return r.text.substr(0, end == std::string::npos ? std::min<size_t>(r.text.size(), 100) : end);
}

// The charset of ReceiveSMSCharset, 0 for none (UTF-8).
unsigned CommandCodePage() {
  std::string charset(Trim(MainValue("ReceiveSMSCharset")));
  if (charset.empty() || EqualsNoCase(charset, "utf-8")) return 0;
  return CodePageForCharset(charset);
}

std::string CaptureReply(std::string text) {
  if (text.size() > kOutputMax) text.resize(kOutputMax);
  std::string reply(FromFirstNonBlank(text));
  if (Trim(reply).empty()) {
    WriteDebugLog("ProcessInboundSMS", "Command response is blank, no reply will be sent");
    return {};
  }
  return reply;
}

// One kept connection per worker thread and host, closed when the thread ends.
struct ThreadSlots {
  std::map<std::string, KeepAliveSlot> byHost;
  ~ThreadSlots() {
    for (auto& [host, slot] : byHost) CloseKeepAliveSlot(slot);
  }
};
KeepAliveSlot* SlotFor(const std::string& url) {
  thread_local ThreadSlots slots;
  return &slots.byHost[UrlHostPart(url)];
}

CommandOutcome RunHttp(const std::string& url, bool capture) {
  CommandOutcome out;
  out.ran = true;
  HttpResponse response;
  RetrieveOptions options;
  options.proxy = std::string(Trim(MainValue("2WayProxy")));
  options.acceptErrorStatus = true;
  options.timeoutSeconds = kHttpTimeoutSeconds;
  options.slot = MainFlag("2WayKeepAlive") ? SlotFor(url) : nullptr;
  std::string error;
  options.errorText = &error;
  if (!RetrieveURL(url, response, options)) {
    // Nothing answered: the message stays for the next scan.
    WriteDebugLogf("ProcessInboundSMS", "HTTP request failed: %s", error.c_str());
    if (options.slot) CloseKeepAliveSlot(*options.slot);
    out.incomplete = true;
    return out;
  }
  unsigned status = HttpStatusCode(HttpStatusLine(response));
  if (status / 100 != 2) {
    WriteDebugLogf("ProcessInboundSMS", "HTTP response indicates error: %s", HttpStatusLine(response).c_str());
    out.bad = true;
  }
  if (!capture) return out;
  std::string_view type = Trim(std::string_view(response.contentType).substr(0, response.contentType.find(';')));
  if (!EqualsNoCase(type, "text/plain")) {
    out.reply = "Command not completed.  Request returned invalid content type:  " + StripControlBytes(response.contentType);
    return out;
  }
  std::string body(response.Body().substr(0, kOutputMax));
  if (unsigned cp = CommandCodePage()) {
    WriteDebugLogf("ProcessInboundSMS", "Converting character set for 2-way command response to %s",
                   MainValue("ReceiveSMSCharset").c_str());
    CodePageToUtf8(body, kOutputMax * 4, cp);
  } else if (!IsValidUtf8(body)) {
    QueueTextToUtf8(body);
  }
  out.reply = CaptureReply(body);
  return out;
}

CommandOutcome RunMail(std::string_view mailto, const SmsMessageRecord& m, std::string_view text) {
  CommandOutcome out;
  out.ran = true;
  std::string mail = MailFileText(mailto, m.Sender, text, MmscValue("SMSDomainName"));
  std::string address(mailto.substr(7, mailto.find('?') == std::string_view::npos ? std::string_view::npos
                                                                                     : mailto.find('?') - 7));
  if (mail.empty()) {
    out.reply = "Invalid e-mail recipient: " + StripControlBytes(PercentDecode(address)) +
                ".  Please specify a valid e-mail address to start the text of your message.";
    return out;
  }
  if (CreateUniqueFile(ProgramDataDirectory() + "MMSCOUT/", "RFC", mail).empty()) {
    WriteDebugLog("ProcessInboundSMS", "Cannot write the mail file");
    out.incomplete = true;
  }
  return out;
}

CommandOutcome RunProgram(const std::string& configured, const TokenValues& values, bool capture) {
  CommandOutcome out;
  std::vector<std::string> argv = SplitCommandArguments(configured);
  if (argv.empty()) return out;
  out.ran = true;
  for (std::string& a : argv) a = ReplaceTokens(a, values, TokenEscape::None);
  if (argv[0].find('/') == std::string::npos) {
    std::string found = FindProgram(RealProgramDirectory(), argv[0]);
    if (!found.empty()) argv[0] = found;
  }
  std::string tmpPath = ProgramDataDirectory() + "PRIVATE/tmpXXXXXX";
  UniqueFd output;
  if (capture) {
    mkdir((ProgramDataDirectory() + "PRIVATE").c_str(), 0700);
    output = UniqueFd(mkstemp(tmpPath.data()));
    if (!output) {
      WriteDebugLogf("ProcessInboundSMS", "Cannot create a temporary file for %s", argv[0].c_str());
      out.incomplete = true;
      return out;
    }
  }
  ProcessOptions options;
  options.stdinPath = "/dev/null";
  if (capture) {
    options.stdoutFd = output.get();
    options.stderrToStdout = true;
  } else {
    options.stdoutPath = "/dev/null";
  }
  options.timeoutMs = kProgramTimeoutMs;
  options.ownProcessGroup = true;
  int rc = RunProcess(argv, options);
  std::string text;
  if (capture) {
    text.resize(kOutputMax);
    ssize_t n = pread(output.get(), text.data(), text.size(), 0);
    text.resize(n > 0 ? size_t(n) : 0);
    unlink(tmpPath.c_str());
  }
  if (rc == -1) {
    WriteDebugLogf("ProcessInboundSMS", "Cannot start %s", argv[0].c_str());
    out.reply = "Command not completed.  System error executing associated command.";
    return out;
  }
  if (rc == -2) WriteDebugLogf("ProcessInboundSMS", "%s ran past its time and was stopped", argv[0].c_str());
  if (!capture) return out;
  WriteDebugLog("ProcessInboundSMS", "Command output: " + StripControlBytes(text));
  if (!IsValidUtf8(text)) {
    unsigned cp = MainNumber("DefaultCodePage");
    CodePageToUtf8(text, kOutputMax * 4, cp ? cp : kCodePageAnsi);
  }
  out.reply = CaptureReply(text);
  return out;
}

// "&SMPPOption_<name>=<value>" for each option of the message configured in [SMPPOptions].
std::string SmppOptionArguments(std::string_view options) {
  auto known = SMSIniSection("SMPPOptions");
  std::string out;
  for (const std::string& raw : SplitList(options, ";")) {
    std::string_view item = Trim(raw);
    if (!StartsWithNoCase(item, "SMPPOption_")) continue;
    size_t eq = item.find('=');
    if (eq == std::string_view::npos) continue;
    std::string_view name = Trim(item.substr(11, eq - 11));
    bool configured = false;
    for (const auto& [key, value] : known) configured |= EqualsNoCase(Trim(key), name);
    if (!configured) continue;
    out += "&" + UrlEscape("SMPPOption_" + std::string(name)) + "=" + UrlEscape(Trim(item.substr(eq + 1)));
  }
  return out;
}
}  // namespace

TwoWayCommandLine ParseCommandLine(std::string_view value) {
  std::string v(value);
  for (int pass = 0; pass < 2 && std::count(v.begin(), v.end(), '\t') < 2; ++pass) {
    size_t space = v.find_last_of(' ');
    if (space == std::string::npos) break;
    v[space] = '\t';
  }
  std::vector<std::string> fields;
  size_t from = 0;
  for (int i = 0; i < 3; ++i) {
    size_t tab = v.find('\t', from);
    if (tab == std::string::npos) break;
    fields.push_back(v.substr(from, tab - from));
    from = tab + 1;
  }
  fields.push_back(v.substr(from));
  TwoWayCommandLine line;
  line.keyword = CutTo(Trim(fields[0]), kKeywordPatternMax);
  if (fields.size() > 1) line.command = CutTo(Trim(fields[1]), kCommandMax);
  if (fields.size() > 2) line.capture = ConfigBool(Trim(fields[2]));
  if (fields.size() > 3) line.recipients = CutTo(Trim(fields[3]), kRecipientsMax);
  return line;
}

std::vector<TwoWayCommandLine> ConfiguredCommands() {
  std::vector<TwoWayCommandLine> table;
  for (unsigned n = 1;; ++n) {
    std::string value = SMSIniString("QARHUB", "ReceiveSMSCommand" + std::to_string(n), "", kCommandMax + 1400);
    if (Trim(value).empty()) break;
    table.push_back(ParseCommandLine(value));
  }
  return table;
}

std::string KeywordOf(std::string_view text) {
  size_t end = 0;
  while (end < text.size() && uint8_t(text[end]) > 32) ++end;
  return std::string(text.substr(0, std::min(end, kKeywordMax)));
}

CommandChoice ChooseCommand(const std::vector<TwoWayCommandLine>& table, std::string_view keyword,
                            std::string_view receivingNumber, bool binary) {
  CommandChoice choice;
  long best = -1;
  bool listCounted = false;
  for (const TwoWayCommandLine& line : table) {
    if (line.command.empty() || !RoutePatternMatches(line.keyword, keyword)) continue;
    if (binary && FindNoCase(line.command, "@@Binary@@") == std::string::npos) continue;
    bool hasList = !Trim(line.recipients).empty() && Trim(line.recipients) != "*";
    if (hasList) {
      bool matched = false;
      for (const std::string& p : SplitList(line.recipients)) matched |= RoutePatternMatches(Trim(p), receivingNumber);
      if (!matched) continue;
      if (!listCounted) {
        listCounted = true;
        best = -1;
      }
    } else if (listCounted) {
      continue;
    }
    long score = EqualsNoCase(line.keyword, keyword) ? long(keyword.size()) + 1 : long(line.keyword.size());
    if (score > best) {
      best = score;
      choice.found = true;
      choice.command = line.command;
      choice.capture = line.capture;
    }
  }
  return choice;
}

std::string ReplaceTokens(std::string_view pattern, const TokenValues& values, TokenEscape escape) {
  std::string out;
  size_t at = 0;
  while (at < pattern.size() && out.size() <= kCommandResultMax) {
    size_t open = pattern.find("@@", at);
    if (open == std::string_view::npos) break;
    size_t close = pattern.find("@@", open + 2);
    if (close == std::string_view::npos) break;
    bool known = false;
    std::string value = TokenValue(pattern.substr(open + 2, close - open - 2), values, known);
    if (!known) {
      // Not a token: keep the first "@" and look again from the second.
      out.append(pattern.substr(at, open + 1 - at));
      at = open + 1;
      continue;
    }
    out.append(pattern.substr(at, open - at));
    out += escape == TokenEscape::Url ? UrlEscape(value) : value;
    at = close + 2;
  }
  if (at < pattern.size()) out.append(pattern.substr(at));
  if (out.size() > kCommandResultMax) out.resize(kCommandResultMax);
  return out;
}

std::vector<std::string> SplitCommandArguments(std::string_view line) {
  std::vector<std::string> args;
  std::string current;
  bool inQuotes = false, started = false;
  for (char c : line) {
    if (c == '"') {
      inQuotes = !inQuotes;
      started = true;
    } else if (!inQuotes && (c == ' ' || c == '\t')) {
      if (started) args.push_back(std::move(current));
      current.clear();
      started = false;
    } else {
      current.push_back(c);
      started = true;
    }
  }
  if (started) args.push_back(std::move(current));
  return args;
}

std::string MailFileText(std::string_view mailto, std::string_view sender, std::string_view text,
                         std::string_view domain) {
  std::string_view rest = mailto.substr(std::min<size_t>(7, mailto.size()));
  size_t question = rest.find('?');
  std::string_view addressPart = rest.substr(0, question);
  std::string_view query = question == std::string_view::npos ? std::string_view() : rest.substr(question + 1);
  // Header values never carry a line break or control byte, also once decoded.
  auto clean = [](std::string_view v) { return StripControlBytes(PercentDecode(v)); };
  if (clean(addressPart).find('@') == std::string::npos) return {};
  std::string user(sender.substr(0, sender.find('@')));
  std::string domainName(Trim(domain));
  if (domainName.empty()) domainName = "unknown";
  std::string mail = "From: " + StripControlBytes(user) + "@" + StripControlBytes(domainName) + "\r\n";
  for (const std::string& a : SplitList(addressPart)) {
    std::string address = clean(Trim(a));
    if (!address.empty()) mail += "To: " + address + "\r\n";
  }
  std::string subject = "SMS", body(text);
  for (const std::string& pair : SplitList(query, "&")) {
    size_t eq = pair.find('=');
    std::string name = ToUpper(Trim(std::string_view(pair).substr(0, eq)));
    std::string value = eq == std::string::npos ? std::string() : pair.substr(eq + 1);
    const char* header = name == "TO" ? "To: " : name == "CC" ? "Cc: " : name == "BCC" ? "Bcc: " : nullptr;
    if (header) {
      for (const std::string& a : SplitList(PercentDecode(value))) {
        std::string address = StripControlBytes(Trim(a));
        if (!address.empty()) mail += header + address + "\r\n";
      }
    } else if (name == "SUBJECT") {
      subject = clean(value);
    } else if (name == "BODY") {
      body = PercentDecode(value);
    }
  }
  mail += "Subject: " + subject + "\r\n";
  mail += "Content-type: text/plain; charset=\"utf-8\"\r\n";
  mail += "\r\n";
  mail += body;
  return mail;
}

CommandOutcome RunTwoWayCommand(const SmsMessageRecord& m, const TwoWayContext& context) {
  std::vector<TwoWayCommandLine> table = ConfiguredCommands();
  if (table.empty()) return {};
  std::string keyword = KeywordOf(m.Binary ? std::string_view() : std::string_view(m.Data));
  CommandChoice choice = ChooseCommand(table, keyword, m.PhoneNumber, m.Binary);
  if (!choice.found) return {};
  WriteDebugLog("GetProgramToExecute", StripControlBytes(choice.command));
  TokenValues v;
  v.sender = m.Sender;
  v.recipient = m.PhoneNumber;
  v.keyword = keyword;
  v.text = m.Data;
  v.rest = std::string(FromFirstNonBlank(std::string_view(m.Data).substr(std::min(keyword.size(), m.Data.size()))));
  v.binary = m.Binary;
  v.udh = m.UDH;
  v.pid = m.Pid;
  v.dcs = m.Dcs;
  v.messageId = context.messageId;
  v.receiptMessageId = m.ReceiptMessageId;
  v.serviceType = m.ServiceType;
  v.receivedSmsc = m.ReceivedSMSC;
  v.route = context.route;
  v.date = context.date;
  v.time = context.time;
  if (unsigned cp = CommandCodePage(); cp != 0 && !m.Binary) {
    WriteDebugLogf("ProcessInboundSMS", "Converting character set for received SMS message to %s",
                   MainValue("ReceiveSMSCharset").c_str());
    for (std::string* s : {&v.keyword, &v.text, &v.rest}) UTF8ToLocalString(*s, kCommandResultMax * 4, cp);
  }
  WriteDebugLogf("ProcessInboundSMS", "Executing %s", StripControlBytes(choice.command).c_str());
  if (IsHttpCommand(choice.command)) {
    std::string url = ReplaceTokens(choice.command, v, TokenEscape::Url) + SmppOptionArguments(m.SMPPOptions);
    return RunHttp(url, choice.capture);
  }
  if (IsMailCommand(choice.command)) {
    if (EqualsNoCase(choice.command, "mailto:@@SMSPREFIX@@")) {
      return RunMail("mailto:" + v.keyword, m, v.rest);
    }
    return RunMail(ReplaceTokens(choice.command, v, TokenEscape::Url), m, v.text);
  }
  v.text = ControlsAsSpaces(v.text);
  v.rest = ControlsAsSpaces(v.rest);
  return RunProgram(choice.command, v, choice.capture);
}
