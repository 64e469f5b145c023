// MMS submission: the parts a client sent (text, URLs, uploads) become a header file, a
// SMIL presentation and part files in a work folder of TEMP/, the packer compiles them into
// one binary message, which moves into the MMS data folder and is handed to the local MMS
// service. Work files are removed in every case.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

struct MmsContentFile {
  std::string value;         // the parameter's value: a URL or an uploaded file's name
  std::string uploadedPath;  // the saved upload it names, only when uploaded with this request
  std::string clientName;    // the client's own file name of that upload
};

struct MmsSubmitRequest {
  std::vector<std::string> recipients;
  std::optional<std::string> text;  // UTF-8
  std::vector<MmsContentFile> files;
  std::string subject, from;        // from already normalised (NormaliseMmsSender)
  std::optional<bool> deliveryReport, readReport;
  std::string priority, messageClass;  // as given; "" when absent
  bool bcc = false;
  std::string headers;                 // MMSHeaders
  std::string applicId, replyApplicId;
  std::string pushKind;                // "WAPP", "SMSP" or ""
  std::string pushTemplate;
  bool wapUrlOnly = false;
  std::vector<std::pair<std::string, std::string>> passedOn;  // query arguments for the service
  // DRM: forward lock, or restricted with a rights object of these permissions/constraints.
  bool forwardLock = false, drmRestrict = false;
  bool rightsAsXml = true;  // the rights object as text XML, else as WBXML
  bool play = false, display = false, execute = false, print = false;
  std::string count, start, end, interval;  // constraints, "" when not set
};

enum class MmsSubmitStatus { Accepted, ServiceInactive, Failed };
struct MmsSubmitResult {
  MmsSubmitStatus status = MmsSubmitStatus::Failed;
  std::string text;  // "MMSMessageID=..." when accepted, else the error text
};

// Limits of the packer run; tests shorten the time.
struct MmsSubmitSettingsRecord {
  unsigned packerTimeoutMs = 300000;
  std::string packerPath;  // "" = qarpacker of the program directory (or PATH)
};
extern MmsSubmitSettingsRecord MmsSubmitSettings;

MmsSubmitResult SubmitMMS(const MmsSubmitRequest& request);

// A sender without "@" is a phone number: a leading "+" kept, everything from ":" on
// dropped, other non-digits removed unless alphanumeric senders are allowed.
std::string NormaliseMmsSender(std::string_view from, bool allowAlpha);
// The header file text before its part lines (for tests and the packer's reader).
std::string MmsSubmitHeaderText(const MmsSubmitRequest& request, unsigned transactionId, bool routed);
// The SMIL for part lines ("name;type" or "name"), or "" when one of them is SMIL already.
std::string MmsSmilFor(const std::vector<std::string>& partLines);
// The rights object (OMA DRM rights expression, XML) of a restricted part.
std::string MmsDrmRights(const MmsSubmitRequest& request, std::string_view contentId);
// A part wrapped as a DRM message (forward lock: the content alone; restricted: the rights
// object first), with the boundary "drm-boundary-%08X" of number.
std::string MmsDrmMessage(const MmsSubmitRequest& request, std::string_view type, std::string_view contentId,
                          std::string_view data, unsigned number);
// The content type of a file name by its extension ("" when unknown).
std::string MmsTypeForFileName(std::string_view name);
