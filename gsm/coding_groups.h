// The alphabet a data coding scheme selects through the GSM coding groups, as the protocol
// libraries read the DCS their callers give.
#pragma once

enum class TextAlphabet { Gsm, EightBit, Ucs2, Latin1 };

// General and message-class groups; every other value is 8-bit data. Never Latin1: that is
// for protocols that give values of their own that meaning.
inline TextAlphabet AlphabetOfCodingGroup(int dcs) {
  if ((dcs & 0xC0) == 0x00) {
    switch ((dcs >> 2) & 3) {
      case 1: return TextAlphabet::EightBit;
      case 2: return TextAlphabet::Ucs2;
      default: return TextAlphabet::Gsm;
    }
  }
  if ((dcs & 0xF0) == 0xF0) return (dcs & 0x04) ? TextAlphabet::EightBit : TextAlphabet::Gsm;
  if ((dcs & 0xF0) == 0xE0) return TextAlphabet::Ucs2;
  if ((dcs & 0xF0) == 0xC0 || (dcs & 0xF0) == 0xD0) return TextAlphabet::Gsm;
  return TextAlphabet::EightBit;
}
