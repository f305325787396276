#include "app/data_sink.h"

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
  bool Close() override { return file_.Close(); }

 private:
  platform::DataFile file_;
};

// Records follow each other on the one stream; nothing is opened or closed per record.
class StandardOutputSink final : public DataSink {
 public:
  bool Open(const std::string&) override { return true; }
  Outcome Write(const std::uint8_t* data, std::size_t size, std::size_t& written) override {
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
  bool Close() override { return true; }
};

}  // namespace

std::unique_ptr<DataSink> MakeFileSink() {
  return std::make_unique<FileSink>();
}

std::unique_ptr<DataSink> MakeStandardOutputSink() {
  return std::make_unique<StandardOutputSink>();
}

}  // namespace app
