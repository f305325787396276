#include "app/data_sink.h"

#include <array>
#include <cstring>

#include "platform/platform.h"

namespace app {
namespace {

class FileSink final : public DataSink {
 public:
  bool Open(const std::string& name) override { return file_.Open(name); }
  Outcome Write(const std::uint8_t* data, std::size_t size, std::size_t& written) override {
    // A failed write may have left part of the block: the file is short either way.
    const bool done = file_.Write(data, size);
    written = done ? size : 0;
    return done ? Outcome::Done : Outcome::Failed;
  }
  Outcome Flush(std::size_t& written) override {
    written = 0;
    return Outcome::Done;
  }
  bool Close() override { return file_.Close(); }

 private:
  platform::DataFile file_;
};

// Records follow each other on the one stream; nothing is opened or closed per record.
class StandardOutputSink final : public DataSink {
 public:
  bool Open(const std::string&) override { return true; }
  Outcome Write(const std::uint8_t* data, std::size_t size, std::size_t& written) override {
    written = 0;
    if (held_ + size > buffer_.size()) {
      const Outcome flushed = Flush(written);
      if (flushed != Outcome::Done) return flushed;
    }
    if (size > buffer_.size()) {
      std::size_t direct = 0;
      const Outcome outcome = platform::WriteStandardOutputData(data, size, direct);
      written += direct;
      return outcome;
    }
    std::memcpy(buffer_.data() + held_, data, size);
    held_ += size;
    return Outcome::Done;
  }
  Outcome Flush(std::size_t& written) override {
    const Outcome outcome = platform::WriteStandardOutputData(buffer_.data(), held_, written);
    held_ = 0;
    return outcome;
  }
  bool Close() override { return true; }

 private:
  std::array<std::uint8_t, 64 * 1024> buffer_{};
  std::size_t held_ = 0;
};

}  // namespace

std::unique_ptr<DataSink> MakeFileSink() {
  return std::make_unique<FileSink>();
}

std::unique_ptr<DataSink> MakeStandardOutputSink() {
  return std::make_unique<StandardOutputSink>();
}

}  // namespace app
