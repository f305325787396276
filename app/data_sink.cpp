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
    return done ? Outcome::Delivered : Outcome::Failed;
  }
  Outcome Flush(std::size_t& written) override {
    written = 0;
    return Outcome::Delivered;
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
      if (flushed != Outcome::Delivered) return flushed;
    }
    if (size > buffer_.size()) {
      std::size_t direct = 0;
      const Outcome outcome = Send(data, size, direct);
      written += direct;
      return outcome;
    }
    std::memcpy(buffer_.data() + held_, data, size);
    held_ += size;
    return Outcome::Delivered;
  }
  Outcome Flush(std::size_t& written) override {
    const Outcome outcome = Send(buffer_.data(), held_, written);
    held_ = 0;
    return outcome;
  }
  bool Close() override { return true; }

 private:
  static Outcome Send(const std::uint8_t* data, std::size_t size, std::size_t& written) {
    switch (platform::WriteStandardOutputData(data, size, written)) {
      case platform::DataWrite::Done:
        return Outcome::Delivered;
      case platform::DataWrite::ReaderGone:
        return Outcome::ReaderGone;
      case platform::DataWrite::Failed:
        break;
    }
    return Outcome::Failed;
  }

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
