// Shared pieces of the fuzz targets: quiet console hooks and a hard stop for a broken invariant.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "platform/platform.h"

namespace fuzz {

// Output is swallowed and every key read reports the end of input, so a refusal's prompt never
// waits and the fuzzer's own output stays readable.
inline void QuietConsole() {
  platform::TestHooks& hooks = platform::Hooks();
  hooks.standard_output = [](std::string_view) {};
  hooks.direct_console = [](std::string_view text) { return static_cast<int>(text.size()); };
  hooks.read_key = [] { return -1; };
  hooks.read_char = [] { return -1; };
  hooks.sleep_ms = [](std::uint32_t) {};
}

// A violated invariant is a finding: stop so that libFuzzer keeps the input.
inline void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

// True when `text` is well-formed UTF-8 without surrogates or code points above U+10FFFF.
inline bool IsValidUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    char32_t cp = 0;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2, cp = lead & 0x1Fu;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3, cp = lead & 0x0Fu;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4, cp = lead & 0x07u;
    } else {
      return false;
    }
    if (text.size() - i < length) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (next & 0x3Fu);
    }
    const char32_t minimum = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
    if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += length;
  }
  return true;
}

// UTF-16 units of a valid UTF-8 text.
inline std::size_t Utf16Units(std::string_view text) {
  std::size_t units = 0;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte & 0xC0) != 0x80) units += byte >= 0xF0 ? 2 : 1;
  }
  return units;
}

}  // namespace fuzz
