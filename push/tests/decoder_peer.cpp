#include "push/tests/decoder_peer.h"

#include <unistd.h>

#include <algorithm>

#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_files.h"

bool HaveWbxmlDecoder() { return access("/usr/bin/wbxml2xml", X_OK) == 0; }

std::string DecodeWithPeer(std::string_view wbxml, const std::string& language) {
  TempDir dir;
  WriteFileText(dir.path() + "in.wbxml", wbxml);
  ChildProcess p;
  if (!p.Start({"wbxml2xml", "-m", "0", "-l", language, "-o", dir.path() + "out.xml", dir.path() + "in.wbxml"}))
    return {};
  std::string line;
  while (p.ReadLine(line, 10000)) {
  }
  p.Stop(2000);
  return ReadFileText(dir.path() + "out.xml");
}

std::string TreeText(const XmlNode& node) {
  if (node.isText) return "\"" + node.text + "\"";
  auto attributes = node.attributes;
  std::sort(attributes.begin(), attributes.end());
  std::string out = "<" + node.name;
  for (const auto& [name, value] : attributes) out += " " + name + "=" + value;
  out += ">";
  for (const XmlNode& c : node.children) out += TreeText(c);
  return out + "</" + node.name + ">";
}
