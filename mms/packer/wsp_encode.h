// The WSP encoding the packer needs (uintvars, integers, texts, value lengths). The WAP push
// module has the gateway's encoder; the packer keeps this copy until it is built on that one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

void AppendUintvar(std::string& out, uint32_t value);
// A short integer (value | 0x80) up to 127, else a long integer.
void AppendInteger(std::string& out, uint64_t value);
void AppendLongInteger(std::string& out, uint64_t value);
// A text and its NUL; a text beginning with an octet of 0x80 or more is quoted with 0x7F.
void AppendText(std::string& out, std::string_view text);
void AppendValueLength(std::string& out, size_t length);
