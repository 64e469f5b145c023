#include <gtest/gtest.h>

#include "push/wsp.h"
#include "runtime/hex_text.h"

namespace {
TEST(WspEncoding, IntegersAndTexts) {
  struct Case { uint64_t value; const char* uintvar; const char* integer; };
  const Case kCases[] = {{0, "00", "80"},          {127, "7F", "FF"},          {128, "8100", "0180"},
                         {255, "817F", "01FF"},    {16383, "FF7F", "023FFF"},  {16384, "818000", "024000"},
                         {0x0316, "8616", "020316"}, {1700000000, "86AACFE200", "046553F100"}};
  for (const Case& c : kCases) {
    std::string u, i;
    AppendUintvar(u, static_cast<uint32_t>(c.value));
    AppendInteger(i, c.value);
    EXPECT_EQ(HexEncode(u), c.uintvar) << c.value;
    std::string expected = c.integer;
    std::erase(expected, ' ');
    EXPECT_EQ(HexEncode(i), expected) << c.value;
  }
  std::string t;
  AppendText(t, "ab");
  AppendText(t, "\xC3\xA9");
  AppendText(t, std::string_view("x\0y", 3));
  EXPECT_EQ(HexEncode(t), "6162007FC3A9007800");
  std::string lengths;
  AppendValueLength(lengths, 30);
  AppendValueLength(lengths, 31);
  AppendValueLength(lengths, 200);
  EXPECT_EQ(HexEncode(lengths), "1E1F1F1F8148");
}

TEST(WspEncoding, ContentTypesAndApplicationIds) {
  struct Case { const char* media; const char* parameters; const char* hex; };
  const Case kCases[] = {
      {"application/vnd.wap.sic", "", "AE"},
      {"application/vnd.wap.slc", "", "B0"},
      {"application/vnd.wap.connectivity-wbxml", "", "B6"},
      {"application/vnd.oma.drm.rights+wbxml", "", "CB"},
      {"application/vnd.wap.emn+wbxml", "", "6170706C69636174696F6E2F766E642E7761702E656D6E2B7762786D6C00"},
      {"application/vnd.wap.sic", "charset=utf-8", "03AE81EA"},
      {"text/plain", "charset=\"iso-8859-1\"; name=a.txt", "0A83818485612E74787400"},
      {"application/vnd.wap.multipart.related", "type=application/xml; start=<a>", "08B389A78A3C613E00"},
      {"application/vnd.oma.drm.roap-trigger+wbxml", "", "020316"},
      {"text/plain", "format=flowed", "0F83666F726D617400666C6F77656400"},
  };
  for (const Case& c : kCases)
    EXPECT_EQ(HexEncode(ContentTypeField(c.media, ContentTypeParameters(c.parameters))), c.hex) << c.media;

  struct IdCase { const char* id; const char* hex; };
  const IdCase kIds[] = {{"x-wap-application:wml.ua", "AF82"},  {"X-WAP-APPLICATION:MMS.UA", "AF84"},
                         {"x-wap-application:wv.ua", "AF8A"},   {"0x8", "AF88"},
                         {"0x9000", "AF029000"},                {"0", "AF3000"},
                         {"0x0", ""},                           {"", ""},
                         {"x-wap-samsung:push.ua", "AF782D7761702D73616D73756E673A707573682E756100"}};
  for (const IdCase& c : kIds) EXPECT_EQ(HexEncode(ApplicationIdHeader(c.id)), c.hex) << c.id;
}

TEST(WspEncoding, HeaderLines) {
  struct Case { const char* line; const char* hex; };
  const Case kCases[] = {
      {"Date: Thu, 01 Jan 1970 00:01:40 GMT", "920164"},
      {"expires: 86400", "9403015180"},
      {"Last-modified: Sun, 06 Nov 1994 08:49:37 GMT", "9D042EBC98A1"},
      {"Cache-Control: no-cache", "8880"},
      {"Cache-Control: Must-revalidate", "8889"},
      {"Cache-Control: max-age=60", "880282BC"},
      {"Cache-Control: S-maxage=3600", "88048B020E10"},
      {"Pragma: No-Cache", "9F80"},
      {"Content-base: http://a/", "8A687474703A2F2F612F00"},
      {"ETag: \"x\"", "93227822" "00"},
      {"Location: http://b", "9C687474703A2F2F6200"},
      {"Referer: r", "A47200"},
      {"Content-Range: bytes 0-99/1000", "9003008768"},
      {"Accept-ranges: bytes", "8481"},
      {"X-WAP-Content-URI: http://c", "B0687474703A2F2F6300"},
      {"X-WAP-Initiator-URI: http://d", "B1687474703A2F2F6400"},
      {"X-WAP-Application-ID: x-wap-application:push.sia", "AF81"},
      {"Push-Flag: 2", "B482"},
      {"WWW-Authenticate: Basic realm=\"gw\"", "AD04806777" "00"},
      {"Proxy-Authenticate: Basic realm=p", "A00380700" "0"},
      {"Set-Cookie: a=b", "5365742D436F6F6B696500613D6200"},
      {"X-Custom: v", "582D437573746F6D007600"},
      {"Content-type: text/plain", ""},
      {"B48A", "B48A"},
      {"  ", ""},
  };
  for (const Case& c : kCases) {
    std::string expected = c.hex;
    std::erase(expected, ' ');
    EXPECT_EQ(HexEncode(EncodeHeaderLine(c.line)), expected) << c.line;
  }
}

TEST(WspEncoding, NetworkPinKeys) {
  struct Case { const char* pin; const char* key; };
  const Case kCases[] = {{"123456789012345", "1932547698103254"},
                         {"123456789012345:1234", "193254769810325431323334"},
                         {"1234", "1132F4"},
                         {"12345", "193254"},
                         {"1234:", "1132F4"}};
  for (const Case& c : kCases) EXPECT_EQ(HexEncode(NetworkPinKey(c.pin)), c.key) << c.pin;
}
}  // namespace
