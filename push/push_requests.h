// The push and settings requests of the submission interface: SI and SL from a URL, the
// advanced push of given content, bookmarks, and the settings forms (a stored file, the
// XML of a POST, and the documents built from browser, SyncML, IM and OMA parameters).
#pragma once

#include <string>

#include "push/settings_documents.h"
#include "submit/submission.h"

struct PushRequestOutcome {
  enum class Kind { Submitted, Invalid, ShowDocument, ServerError } kind = Kind::Submitted;
  SubmissionResult result;  // Submitted (which may be refused or invalid by the core)
  std::string text;         // Invalid, ServerError: the failure text
  std::string document;     // ShowDocument: the settings document
};

// True for a parameter name that selects a push or settings request.
bool IsPushTrigger(std::string_view specialContent);
// The request that the special parameter selects; base holds the recipients, sender and
// options read as for any submission. post: the request is a POST (for OTAXMLSettings).
PushRequestOutcome HandlePushRequest(const std::string& specialContent, Submission base, const ParameterReader& get,
                                     bool post);
