// A Push Access Protocol request: the multipart body with its control document (push id,
// addresses) and its content part (headers and body), turned into the push PDU.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct PapRequest {
  std::string pushId;                   // "" when the control document has none
  std::vector<std::string> recipients;  // from the address values
  std::string pdu;                      // raw octets
};

inline constexpr const char* kPapPrefix = "Unsupported or invalid Push Access Protocol (PAP) request - ";

// contentType: the request's Content-Type header, none when absent. False with the failure
// text in error (the push id found so far stays in out).
bool ParsePapRequest(bool post, const std::optional<std::string>& contentType, std::string_view body,
                     uint8_t transactionId, uint8_t wbxmlVersion, PapRequest& out, std::string& error);

// The two answer documents, the texts escaped.
std::string PapSuccessDocument(std::string_view pushId);
std::string PapFailureDocument(std::string_view text);
