// Where the delivered blocks of a record go: a data file or standard output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace app {

class DataSink {
 public:
  enum class Outcome { Delivered, ReaderGone, Failed };

  virtual ~DataSink() = default;
  // Makes the destination of the next record; false when it cannot be created.
  virtual bool Open(const std::string& name) = 0;
  // All `size` bytes, or how many went out before the reader left or the write failed.
  virtual Outcome Write(const std::uint8_t* data, std::size_t size, std::size_t& written) = 0;
  // Ends the record; false when its bytes could not all be kept.
  virtual bool Close() = 0;
};

std::unique_ptr<DataSink> MakeFileSink();
std::unique_ptr<DataSink> MakeStandardOutputSink();

}  // namespace app
