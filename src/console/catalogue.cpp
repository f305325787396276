#include "console/catalogue.h"

#include <algorithm>
#include <fstream>
#include <utility>

#include "console/output.h"
#include "platform/platform.h"
#include "text/text.h"

namespace console {
namespace {

// The catalogue is a few kilobytes; anything beyond this is not read, whatever the file holds.
constexpr std::size_t kCatalogueReadLimit = std::size_t{1} << 20;

std::string& CataloguePathStorage() {
  static std::string path;
  return path;
}

std::string& MessageBuffer() {
  static std::string buffer;
  return buffer;
}

std::string Utf16LeToUtf8(std::string_view bytes) {
  std::u16string units(bytes.size() / 2, u'\0');
  for (std::size_t i = 0; i < units.size(); ++i) {
    units[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                     (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
  }
  std::string out = text::Utf16ToUtf8(units);
  if (bytes.size() % 2 != 0) text::AppendUtf8(out, text::kReplacement);
  return out;
}

// The value as the program may use it: valid UTF-8, ended at a zero byte, at most
// kMessageCapacity UTF-16 units, never cut inside a character.
std::string BoundedValue(std::string_view raw) {
  std::string out;
  std::size_t units = 0;
  std::size_t pos = 0;
  while (pos < raw.size()) {
    const char32_t cp = text::DecodeUtf8(raw, pos);
    if (cp == 0) break;
    units += cp > 0xFFFF ? 2 : 1;
    if (units > kMessageCapacity) break;
    text::AppendUtf8(out, cp);
  }
  return out;
}

std::optional<std::string> FindInText(std::string_view text, std::string_view section, std::string_view key) {
  const std::string_view wanted_section = text::Trim(section);
  const std::string_view wanted_key = text::Trim(key);
  bool in_section = false;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find_first_of("\r\n", pos);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = text::Trim(text.substr(pos, end - pos));
    pos = end;
    if (pos < text.size()) pos += text.compare(pos, 2, "\r\n") == 0 ? 2u : 1u;

    if (line.empty() || line.front() == ';' || line.front() == '#') continue;
    if (line.front() == '[') {
      const std::size_t close = line.find(']');
      const std::string_view name = line.substr(1, close == std::string_view::npos ? line.npos : close - 1);
      in_section = text::EqualsIgnoringCase(text::Trim(name), wanted_section);
      continue;
    }
    if (!in_section) continue;
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    if (text::EqualsIgnoringCase(text::Trim(line.substr(0, equals)), wanted_key)) {
      return BoundedValue(text::Trim(line.substr(equals + 1)));
    }
  }
  return std::nullopt;
}

// Reads at most kCatalogueReadLimit bytes; `cut` tells whether the file held more.
std::string ReadCatalogue(const std::string& path, bool& cut) {
  std::ifstream in(path, std::ios::binary);
  std::string bytes;
  char chunk[16384];
  while (in && bytes.size() <= kCatalogueReadLimit) {
    in.read(chunk, sizeof chunk);
    bytes.append(chunk, static_cast<std::size_t>(std::max<std::streamsize>(in.gcount(), 0)));
  }
  cut = bytes.size() > kCatalogueReadLimit;
  if (cut) bytes.resize(kCatalogueReadLimit);
  return bytes;
}

std::optional<std::string> FindInFile(std::string_view file_bytes, std::string_view section,
                                      std::string_view key, bool cut) {
  std::string converted;
  std::string_view text = file_bytes;
  if (text.size() >= 2 && text.substr(0, 2) == "\xFF\xFE") {
    converted = Utf16LeToUtf8(text.substr(2));
    text = converted;
  } else if (text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF") {
    text.remove_prefix(3);
  }
  if (cut) {
    // The last line of a file read only in part is incomplete: leave it out.
    const std::size_t last_break = text.find_last_of("\r\n");
    text = text.substr(0, last_break == std::string_view::npos ? 0 : last_break);
  }
  return FindInText(text, section, key);
}

}  // namespace

void SetCataloguePath(std::string path) {
  CataloguePathStorage() = std::move(path);
}

const std::string& CataloguePath() {
  return CataloguePathStorage();
}

std::optional<std::string> FindIniValue(std::string_view file_bytes, std::string_view section,
                                        std::string_view key) {
  return FindInFile(file_bytes, section, key, false);
}

const std::string& ReadMessage(Msg message) {
  static constexpr std::pair<std::string_view, std::string_view> kPlaces[] = {
#define RNGACQ_MESSAGE(name, section, key) {section, key},
#include "console/messages.inc"
#undef RNGACQ_MESSAGE
  };
  const auto& [section, key] = kPlaces[static_cast<std::size_t>(message)];
  return ReadMessage(section, key);
}

void PrintMessageLine(Msg message) {
  PrintWide("\n%s", ReadMessage(message).c_str());
}

const std::string& ReadMessage(std::string_view section, std::string_view key) {
  std::string& buffer = MessageBuffer();
  buffer.clear();
  const std::string& path = CataloguePath();
  if (platform::FileExists(path)) {
    bool cut = false;
    const std::string bytes = ReadCatalogue(path, cut);
    if (auto value = FindInFile(bytes, section, key, cut)) buffer = std::move(*value);
  }
  // What follows a ';' is a remark, never part of the text.
  const std::size_t semicolon = buffer.find(';');
  if (semicolon != std::string::npos) buffer.resize(semicolon);
  return buffer;
}

}  // namespace console
