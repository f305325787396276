// The catalogue reader on arbitrary files: FindIniValue on the bytes directly, and ReadMessage
// on the same bytes written to a catalogue file. Every answer must be valid UTF-8 within the
// message buffer's capacity, without a zero byte, and both paths must agree.
#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>

#include "console/catalogue.h"
#include "fuzz_support.h"

namespace {

// One scratch catalogue per fuzzing process, removed when the process ends normally.
struct ScratchCatalogue {
  std::string path = "/tmp/rngacq-fuzz-catalogue-" + std::to_string(::getpid()) + ".INI";
  ~ScratchCatalogue() { std::remove(path.c_str()); }
};

const std::string& CatalogueFile() {
  static const ScratchCatalogue file;
  return file.path;
}

void CheckValue(const std::string& value) {
  fuzz::Check(fuzz::IsValidUtf8(value), "catalogue value is valid UTF-8");
  fuzz::Check(fuzz::Utf16Units(value) <= console::kMessageCapacity, "catalogue value fits the buffer");
  fuzz::Check(value.find('\0') == std::string::npos, "catalogue value has no zero byte");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  // Mostly the program's own names, sometimes arbitrary ones.
  const bool own_names = input.ConsumeBool();
  std::string section = own_names ? "F00" + std::to_string(input.ConsumeIntegralInRange(1, 7))
                                  : input.ConsumeRandomLengthString(16);
  std::string key = own_names ? "S0" + std::to_string(input.ConsumeIntegralInRange(10, 20))
                              : input.ConsumeRandomLengthString(16);
  const std::string file = input.ConsumeRemainingBytesAsString();

  const std::optional<std::string> found = console::FindIniValue(file, section, key);
  if (found) CheckValue(*found);

  {
    std::ofstream out(CatalogueFile(), std::ios::binary | std::ios::trunc);
    out.write(file.data(), static_cast<std::streamsize>(file.size()));
  }
  console::SetCataloguePath(CatalogueFile());
  const std::string& message = console::ReadMessage(section, key);
  CheckValue(message);
  // The lookup is the reader's value up to its first ';'.
  const std::string expected = found ? found->substr(0, found->find(';')) : std::string();
  fuzz::Check(message == expected, "ReadMessage agrees with FindIniValue");
  return 0;
}
