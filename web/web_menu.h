// The static pages of the web menu, filtered by their block markers.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "web/web_connection.h"

// Keeps or removes each marked block for the user's web options byte; credits, when
// given, replaces "@@AvailableCredits@@" inside a kept AvailableCredits block.
std::string FilterWebMenuBlocks(std::string_view page, uint8_t webOptions, const std::optional<std::string>& credits);

// The file a request path names under htmlDirectory: the path up to "?", decoded, split
// into segments; refused (false) when a segment is "..", the path is absolute or holds a
// control byte, or the resolved file does not lie under htmlDirectory.
bool ResolveWebMenuFile(const std::string& htmlDirectory, std::string_view requestPath, std::string& resolved);

// Answers a request that no handler took: the user's own html folder first, then the
// html folder; default.htm when the file is not there; 404 when neither exists.
void SendWebMenu(WebConnection& c, const WebRequest& request);

// The credit balance text for the AvailableCredits block (installed by the accounting code).
using CreditBalanceReader = std::function<bool(const std::string& user, std::string& balanceText)>;
void SetCreditBalanceReader(CreditBalanceReader reader);

// Writes the shipped pages (the start page default.htm, the address-book and distribution
// list templates, SUBMITOK.HTM) into htmlDirectory when that folder has no default.htm yet
// (a fresh installation); a page already there is kept. False when one cannot be written.
bool InstallDefaultWebPages(const std::string& htmlDirectory);
