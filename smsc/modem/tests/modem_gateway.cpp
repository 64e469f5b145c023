#include "smsc/modem/tests/modem_gateway.h"

#include <filesystem>
#include <map>

#include "tests/support/test_files.h"

namespace fs = std::filesystem;

void ModemGateway::Configure(const std::string& modemDevice, const std::vector<std::string>& main,
                             const std::vector<std::string>& section, const std::string& extraSections) {
  device = modemDevice;
  std::vector<std::string> lines = {"Debug=Yes",         "WebPort=" + std::to_string(webPort),
                                    "Modem1=" + device,  "InitRetryDelay=1",
                                    "InitRetryDelayMax=2", "RetryDelay=1"};
  lines.insert(lines.end(), main.begin(), main.end());
  std::string text = "[" + Section() + "]\r\n";
  for (const std::string& l : section) text += l + "\r\n";
  home.WriteConfig(lines, text + extraSections);
}

void ModemGateway::Drop(const std::string& name, const std::string& body) {
  std::string dir = home.path() + "Q/";
  fs::create_directories(dir);
  WriteFileText(dir + ".~" + name + ".tmp", "[SMS]\r\n" + body);
  fs::rename(dir + ".~" + name + ".tmp", dir + name);
}

std::string ModemGateway::QueueFile(const std::string& name) const { return ReadFileText(home.path() + "Q/" + name); }

bool ModemGateway::QueueEmpty() const {
  for (const std::string& f : FilesUnder(home.path() + "Q/")) {
    // Temporary files and the kept copies of given-up messages (".ERR") do not count.
    if (f.find("/.") == std::string::npos && f.size() > 4 && f.substr(f.size() - 4) == ".req") return false;
  }
  return true;
}

// While the inbound thread processes a message its ".in" (".rec", ".rct") file and the copy it writes beside
// it both exist: each message counts once, by its copy when there is one.
std::vector<std::string> ModemGateway::Received() const {
  std::map<std::string, std::string> byStem;
  for (const std::string& f : FilesUnder(home.path() + "SMS-IN/")) {
    if (f.find("/.") != std::string::npos) continue;  // a file being written
    fs::path p(f);
    std::string stem = (p.parent_path() / p.stem()).string();
    std::string ext = p.extension().string();
    for (char& c : ext) c = char(tolower(static_cast<unsigned char>(c)));
    bool unprocessed = ext == ".in" || ext == ".rec" || ext == ".rct";
    auto [at, added] = byStem.emplace(stem, f);
    if (!added && !unprocessed) at->second = f;
  }
  std::vector<std::string> out;
  for (auto& [stem, path] : byStem) out.push_back(path);
  return out;
}

std::vector<std::string> ModemGateway::ReceivedTexts() const {
  std::vector<std::string> texts;
  // A ".in" file may be processed and removed between the listing and the read.
  for (int attempt = 0; attempt < 5; ++attempt) {
    texts.clear();
    bool gone = false;
    for (const std::string& f : Received()) {
      texts.push_back(ReadFileText(f));
      gone = gone || (texts.back().empty() && !fs::exists(f));
    }
    if (!gone) break;
  }
  return texts;
}

std::string ModemGateway::ReceivedText() const {
  std::string all;
  for (const std::string& t : ReceivedTexts()) all += t + "\n";
  return all;
}

std::string ModemGateway::ErrorFile() const {
  std::string name = device;
  for (char& c : name) {
    if (c == '/' || c == ':' || c == '\\') c = '-';
  }
  return ReadFileText(home.path() + "PRIVATE/" + name + ".ERR");
}
