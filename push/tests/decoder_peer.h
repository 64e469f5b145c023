// The WBXML decoder of libwbxml2-utils run on compiled documents.
#pragma once

#include <string>
#include <string_view>

#include "push/xml_reader.h"

// True when wbxml2xml is installed.
bool HaveWbxmlDecoder();
// The document that wbxml2xml -l language makes of wbxml, or "" when it fails.
std::string DecodeWithPeer(std::string_view wbxml, const std::string& language);
// Two trees as text: element names, attributes sorted, texts.
std::string TreeText(const XmlNode& node);
