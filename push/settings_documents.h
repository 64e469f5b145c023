// Settings documents built from request parameters: browser settings (CHARACTERISTIC-LIST),
// synchronisation settings (SyncSettings), instant-messaging settings (WVSettings) and OMA
// provisioning (wap-provisioningdoc). Every value is escaped into the XML.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

// A request parameter cut to max characters, or none when absent.
using ParameterReader = std::function<std::optional<std::string>(std::string_view name, size_t max)>;

// Each returns false with the failure text in error.
bool BrowserSettingsDocument(const ParameterReader& get, std::string& xml, std::string& error);
bool SyncSettingsDocument(const ParameterReader& get, std::string& xml, std::string& error);
bool ImSettingsDocument(const ParameterReader& get, std::string& xml, std::string& error);
bool OmaProvisioningDocument(const ParameterReader& get, std::string& xml, std::string& error);
