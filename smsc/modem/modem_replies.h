// Reading the modem's replies: the final result, and the information lines of "+CPMS:",
// "+CMGL:", "+CNUM:", "+CNMI:", "+CREG:", "+COPS:", "+CFUN:", "+CSMS:" and "+CMGS:".
// Every reader is bounded by the text it is given.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// "OK" followed by CR or LF.
bool ReplyOk(std::string_view reply);
// The reply with control bytes as spaces: for error texts and log lines.
std::string ReplyForText(std::string_view reply);

// "+CPMS:" of "AT+CPMS?" and "AT+CPMS=": up to three storages with their counts.
struct CpmsEntry {
  std::string name;  // "" when the reply gives counts only
  uint32_t used = 0, total = 0;
};
struct CpmsReply {
  bool found = false;  // "+CPMS:" present
  bool empty = false;  // found, with no letter or digit before the end of its line
  std::vector<CpmsEntry> entries;
};
CpmsReply ParseCpmsReply(std::string_view reply);

// The storages offered in the reply to "AT+CPMS=?" (quoted names).
struct CpmsOffer {
  bool sr = false, sm = false, me = false, mt = false;
};
CpmsOffer ParseCpmsOffer(std::string_view reply);

// One "+CMGL:" entry: the index, the other header fields and the line(s) after it.
struct CmglEntry {
  uint32_t index = 0;
  std::string status;  // text mode: the second field without quotes
  std::string sender;  // text mode: the third field (at most 512 characters)
  std::string body;    // PDU mode: the hex line; text mode: the text (at most 1,023 characters)
};
// PDU mode lists entries whose next line starts with a hexadecimal digit; text mode takes the
// text up to the next "+CMGL:", "OK" or "ERROR" line.
std::vector<CmglEntry> ParseCmglReply(std::string_view reply, bool textMode);

// The modem's own number from "+CNUM:": "+" and its digits (a "+" is not doubled), at most
// 50 characters; "" when none.
std::string ParseCnumNumber(std::string_view reply);

// The value of "+CNMI:" up to the end of its line ("2,1,0,0,0"); "" when absent.
std::string CnmiValue(std::string_view reply);
// The value that asks for message indications ("<mode>,1") when the second field is neither
// 1 nor 2; "" when it needs no change.
std::string CnmiWithIndications(std::string_view value);
// The value with its fourth field (status reports) set to digit, when it has one that is not
// "1"; "" when it needs no change.
std::string CnmiWithReports(std::string_view value, char digit);

// "+CREG: <n>,0": not registered and not searching. A single value never says so.
bool CregNotRegistered(std::string_view reply);
// "+COPS: <n>,": a network is selected.
bool CopsSelected(std::string_view reply);
// "+CFUN: <v>" with v other than "1"; false without "+CFUN:".
bool CfunNotFull(std::string_view reply);
// "+CFUN: (...)," : the reset parameter of "AT+CFUN=1,1" is supported.
bool CfunResetSupported(std::string_view reply);
// "+CSMS:" whose value begins with "1,".
bool CsmsPhase2Plus(std::string_view reply);
// The message reference after "+CMGS:"; "" when absent.
std::string CmgsReference(std::string_view reply);
