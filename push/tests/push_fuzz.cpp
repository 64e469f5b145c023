// libFuzzer target: the first octet picks the reader. 0: the XML reader with every
// compiler; 1: a PAP request (content type up to the first LF, then the body); 2: extra
// header lines and the push they go into.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "push/pap_request.h"
#include "push/push_pdu.h"
#include "push/wbxml.h"
#include "push/wsp.h"
#include "push/xml_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 3) {
    case 0: {
      XmlNode root;
      std::string error, out;
      if (ParseXml(input, root, error))
        for (const char* name : {"SI", "SL", "CO", "PROV", "DRMREL", "ROAP", "EMN", "SYNCML", "OTA", "SYNCSETTINGS",
                                 "WVSETTINGS"})
          CompileWbxml(root, *WbxmlLanguageNamed(name), 0x03, (size & 1) ? 0x6A : 0x04, out, error);
      CompileXmlDocument(input, 0x02, 0x6A, out, error);
      RootElementName(input);
      XmlEscape(input);
      break;
    }
    case 1: {
      size_t lf = input.find('\n');
      std::string type(input.substr(0, lf));
      std::string_view body = lf == std::string_view::npos ? std::string_view() : input.substr(lf + 1);
      PapRequest out;
      std::string error;
      ParsePapRequest(true, type, body, 1, 2, out, error);
      PapSuccessDocument(out.pushId);
      PapFailureDocument(error);
      break;
    }
    case 2: {
      size_t start = 0;
      while (start <= input.size()) {
        size_t end = input.find('\n', start);
        if (end == std::string_view::npos) end = input.size();
        EncodeHeaderLine(input.substr(start, end - start));
        start = end + 1;
      }
      PushBuildOptions options;
      options.mac = [](std::string_view, std::string_view) -> std::optional<std::string> { return std::string(40, 'A'); };
      std::string out, error;
      CreateWAPPushBinary("text/plain; charset=utf-8; type=text/xml; q=1", "x", PushContentKind::Text, "0x4", input,
                          {"1234:56", "USERNETWPIN"}, options, out, error);
      NetworkPinKey(input);
      ContentTypeParameters(input);
      ApplicationIdHeader(input);
      break;
    }
  }
  return 0;
}
