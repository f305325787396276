// Where the delivered blocks of a record go: a data file or standard output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/platform.h"

namespace app {

class DataSink {
 public:
  // Done, ReaderGone (the reading end of a pipe was closed) or Failed.
  using Outcome = platform::DataWrite;

  virtual ~DataSink() = default;
  // Makes the destination of the next record; false when it cannot be created.
  virtual bool Open(const std::string& name) = 0;
  // Takes `size` bytes. `written` gets the bytes that reached the destination in this call,
  // which for a sink that gathers bytes may be more or fewer than `size`.
  virtual Outcome Write(const std::uint8_t* data, std::size_t size, std::size_t& written) = 0;
  // Sends what the sink still holds; `written` as for Write.
  virtual Outcome Flush(std::size_t& written) = 0;
  // Ends the record; false when its bytes could not all be kept.
  virtual bool Close() = 0;
};

// Each block goes to the file in a write of its own.
std::unique_ptr<DataSink> MakeFileSink();
// Blocks are gathered into writes of up to 64 KiB: a pipe's reader then wakes once per write
// instead of once per block.
std::unique_ptr<DataSink> MakeStandardOutputSink();

}  // namespace app
