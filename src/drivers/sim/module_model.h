// The random-number module as its command frames see it, apart from any transport: it reads a
// command as 16-byte frames and queues one 16-byte answer frame per command frame, the data
// frames (from a seeded stream) right behind the count frame's answer. Both the simulated
// backend and the emulated USB device of the libusb tests answer with it, so that one set of
// expectations (StreamBytes, ExpectedRecord) holds for both.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace sim {

// Faults in the answers themselves; how they travel is the transport's business.
struct AnswerFaults {
  std::optional<std::uint8_t> status_nibble;  // answer byte 31 low nibble instead of the mode
  std::optional<std::uint8_t> end_nibble;     // end-frame low nibble instead of 0xD
  std::uint32_t short_answer = 0;             // this many bytes fewer in every answer
};

// Faults of the data themselves, for the quality checks to catch.
struct DataFaults {
  std::optional<std::uint64_t> stuck_after;    // from data byte N on, every data byte the same
  std::optional<std::uint32_t> bias_permille;  // every data bit 1 with this probability (per mille)
  std::optional<std::uint32_t> repeat_after;  // from block N (counted from 0) on, each repeats the one before
};

class ModuleModel {
 public:
  explicit ModuleModel(std::uint64_t seed, const AnswerFaults& faults = {},
                       const DataFaults& data_faults = {});

  // Answers one command (a trailing partial frame is ignored). Faults changed in between apply
  // to the answers that follow.
  void Feed(const std::uint8_t* command, std::size_t size);
  void SetFaults(const AnswerFaults& faults) { faults_ = faults; }

  // Answer bytes not yet taken.
  std::size_t Pending() const { return end_ - head_; }
  // Moves up to `max` waiting answer bytes to `dest`, oldest first; returns how many.
  std::size_t Take(std::uint8_t* dest, std::size_t max);

  std::uint32_t Answered() const { return answered_; }  // commands answered so far
  std::uint64_t StreamOffset() const { return stream_offset_; }

 private:
  std::uint64_t seed_;
  AnswerFaults faults_;
  DataFaults data_faults_;
  // Answer bytes [head_, end_) of `answer_`: appended at the back, taken from the front; the
  // front is dropped only once all is taken, so that taking never shifts the bytes behind it.
  std::vector<std::uint8_t> answer_;
  std::size_t head_ = 0;
  std::size_t end_ = 0;
  std::uint64_t stream_offset_ = 0;
  std::uint32_t answered_ = 0;
  std::uint16_t counter_ = 0;
  std::uint32_t blocks_ = 0;              // data requests answered
  std::vector<std::uint8_t> last_block_;  // for repeat_after
  void SpoilData(std::uint8_t* data, std::size_t size);
  std::uint8_t* Extend(std::size_t n);  // room for n more answer bytes at the back
};

// The module's data stream: byte `offset` onward of the generator seeded with `seed`. Each
// answer consumes 16 bytes per data frame, in order.
std::vector<std::uint8_t> StreamBytes(std::uint64_t seed, std::uint64_t offset, std::size_t count);
// What a data file of `record_length` bytes holds when fetched from a fresh module: full blocks
// of 1984 bytes, then the remainder (the unused tail of its last data frame is dropped).
std::vector<std::uint8_t> ExpectedRecord(std::uint64_t seed, std::uint64_t stream_offset,
                                         std::int64_t record_length);

}  // namespace sim
