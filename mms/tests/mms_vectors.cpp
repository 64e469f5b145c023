#include "mms/tests/mms_vectors.h"

std::string Bytes(std::initializer_list<int> octets) {
  std::string out;
  for (int o : octets) out += static_cast<char>(o);
  return out;
}

std::string Txt(std::string_view text) { return std::string(text) + '\0'; }

std::string Uintvar(uint32_t value) {
  std::string out(1, static_cast<char>(value & 0x7F));
  for (value >>= 7; value; value >>= 7) out.insert(out.begin(), static_cast<char>(0x80 | (value & 0x7F)));
  return out;
}

std::string WithLength(std::string_view value) {
  if (value.size() <= 30) return std::string(1, static_cast<char>(value.size())) + std::string(value);
  return "\x1F" + Uintvar(static_cast<uint32_t>(value.size())) + std::string(value);
}

std::string Entry(std::string_view headers, std::string_view data) {
  return Uintvar(static_cast<uint32_t>(headers.size())) + Uintvar(static_cast<uint32_t>(data.size())) +
         std::string(headers) + std::string(data);
}

std::string RetrieveConfThreeParts() {
  std::string pdu = Bytes({0x8C, 0x84}) + "\x98" + Txt("T123") + Bytes({0x8D, 0x92}) + "\x89" +
                    WithLength("\x80" + Txt("+4912345/TYPE=PLMN")) + "\x97" + Txt("+4911111/TYPE=PLMN") + "\x97" +
                    Txt("+4922222/TYPE=PLMN") + Bytes({0x85, 0x04, 0x5F, 0x5E, 0x10, 0x00}) + "\x96" +
                    WithLength("\xEA" + Txt("Hello")) + "\x84" +
                    WithLength("\xB3\x8A" + Txt("<smil>") + "\x89" + Txt("application/smil"));
  pdu += Uintvar(3);
  pdu += Entry(Txt("application/smil") + "\xC0\x22" + Txt("<smil>"), "<smil><body/></smil>");
  pdu += Entry(WithLength("\x9E\x85" + Txt("image.jpg")) + "\x8E" + Txt("image.jpg"), Bytes({0xFF, 0xD8, 0xFF, 0xD9}));
  pdu += Entry(WithLength(Bytes({0x83, 0x81, 0xEA})) + "\xC0\x22" + Txt("<t1>") + Txt("X-Extra") + Txt("v"), "hi");
  return pdu;
}

std::string MmsHttpAnswer(const std::string& message) {
  return "HTTP/1.1 200 OK\r\nContent-Type: application/vnd.wap.mms-message\r\nContent-Length: " +
         std::to_string(message.size()) + "\r\n\r\n" + message;
}

std::string RetrieveConfThreePartsHeader() {
  return "Message-type: m-retrieve-conf\r\n"
         "Transaction-id: T123\r\n"
         "MMS-version: 1.2\r\n"
         "From: +4912345/TYPE=PLMN\r\n"
         "Date: Sun, 13 Sep 2020 12:26:40 GMT\r\n"
         "Subject: Hello\r\n"
         "To: +4911111/TYPE=PLMN\r\n"
         "To: +4922222/TYPE=PLMN\r\n"
         "Content-type: application/vnd.wap.multipart.related; start=<smil>; type=application/smil\r\n"
         "X-QarMMS-Content-Location: ID\\smil.smil;application/smil\r\n"
         "X-QarMMS-Content-ID: smil\r\n"
         "X-QarMMS-Content-Location: ID\\image.jpg;image/jpeg\r\n"
         "X-QarMMS-Content-Location: ID\\t1.txt;text/plain;charset=utf-8\r\n"
         "X-QarMMS-Content-ID: t1\r\n"
         "X-QarMMS-Content-Header: X-Extra: v\r\n";
}

std::string NotificationInd() {
  return Bytes({0x8C, 0x82}) + "\x98" + Txt("N-42") + Bytes({0x8D, 0x90}) + "\x89" +
         WithLength("\x80" + Txt("+4912345/TYPE=PLMN")) + Bytes({0x8A, 0x80}) + Bytes({0x8E, 0x02, 0x10, 0x00}) +
         "\x88" + WithLength(Bytes({0x81, 0x03, 0x01, 0x51, 0x80})) + "\x83" + Txt("http://127.0.0.1/mms?id=42");
}
