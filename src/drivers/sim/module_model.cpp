#include "drivers/sim/module_model.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace sim {
namespace {

constexpr std::size_t kFrame = 16;

constexpr std::uint64_t kStep = 0xA0761D6478BD642Full;

struct Pair {
  std::uint64_t first, second;
};

// A counter-based mix: one 64x64->128 multiply gives 16 bytes, so the simulated module costs
// little next to the program it serves, and any byte of the stream can be computed alone.
// Bytes 16j..16j+15 of the stream are Mix(seed + (j + 1) * kStep), each word least significant
// byte first.
Pair Mix(std::uint64_t a) {
  const std::uint64_t b = a ^ 0xE7037ED1A0B428DBull;
#if defined(__SIZEOF_INT128__)
  __extension__ using Wide = unsigned __int128;
  const Wide product = static_cast<Wide>(a) * b;
  const auto high = static_cast<std::uint64_t>(product >> 64);
  const auto low = static_cast<std::uint64_t>(product);
#else
  const std::uint64_t a_lo = a & 0xFFFFFFFFu, a_hi = a >> 32, b_lo = b & 0xFFFFFFFFu, b_hi = b >> 32;
  const std::uint64_t lo_lo = a_lo * b_lo, hi_lo = a_hi * b_lo, lo_hi = a_lo * b_hi, hi_hi = a_hi * b_hi;
  const std::uint64_t cross = (lo_lo >> 32) + (hi_lo & 0xFFFFFFFFu) + lo_hi;
  const std::uint64_t high = hi_hi + (hi_lo >> 32) + (cross >> 32);
  const std::uint64_t low = (cross << 32) | (lo_lo & 0xFFFFFFFFu);
#endif
  return {high ^ low, high + ((low << 32) | (low >> 32))};
}

// Least significant byte first, whatever the host's byte order.
void StoreLittleEndian(std::uint8_t* dest, std::uint64_t word) {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(dest, &word, 8);
  } else {
    for (int b = 0; b < 8; ++b) dest[b] = static_cast<std::uint8_t>(word >> (8 * b));
  }
}

void StorePair(std::uint8_t* dest, Pair pair) {
  StoreLittleEndian(dest, pair.first);
  StoreLittleEndian(dest + 8, pair.second);
}

// Writes `count` bytes of the stream, from byte `offset` on, to `dest`.
void WriteStream(std::uint64_t seed, std::uint64_t offset, std::size_t count, std::uint8_t* dest) {
  std::uint64_t a = seed + (offset / 16 + 1) * kStep;
  std::uint8_t piece[16];
  if (const std::size_t skip = offset % 16; skip != 0 && count > 0) {  // a piece begun earlier
    StorePair(piece, Mix(a));
    a += kStep;
    const std::size_t n = std::min(count, 16 - skip);
    std::memcpy(dest, piece + skip, n);
    dest += n;
    count -= n;
  }
  for (; count >= 16; count -= 16, dest += 16, a += kStep) StorePair(dest, Mix(a));
  if (count > 0) {
    StorePair(piece, Mix(a));
    std::memcpy(dest, piece, count);
  }
}

bool IsFrame(const std::uint8_t* f, std::uint8_t b2, std::uint8_t b3) {
  return f[0] == 0x13 && f[1] == 0x37 && f[2] == b2 && f[3] == b3;
}

}  // namespace

ModuleModel::ModuleModel(std::uint64_t seed, const AnswerFaults& faults, const DataFaults& data_faults)
    : seed_(seed), faults_(faults), data_faults_(data_faults) {}

void ModuleModel::Feed(const std::uint8_t* command, std::size_t size) {
  // The answer is made right behind the bytes still waiting, so it is never copied again.
  const std::size_t start = end_;
  for (std::size_t at = 0; command != nullptr && at + kFrame <= size; at += kFrame) {
    const std::uint8_t* f = command + at;
    std::uint8_t* a = Extend(kFrame);
    std::memset(a, 0, kFrame);
    if (IsFrame(f, 0xC0, 0xDE) && f[8] == 0x04) {
      const std::uint8_t mode = f[15] & 0x0F;
      a[15] =
          static_cast<std::uint8_t>(0xA0 | (faults_.status_nibble ? *faults_.status_nibble & 0x0F : mode));
    } else if (IsFrame(f, 0xC0, 0xDE) && f[8] == 0x10) {
      a[15] = static_cast<std::uint8_t>(0x20 | (faults_.end_nibble ? *faults_.end_nibble & 0x0F : 0x0D));
    } else if (IsFrame(f, 0xDA, 0x7A)) {
      const auto frames = static_cast<std::uint16_t>(f[14] << 8 | f[15]);
      ++counter_;
      a[12] = static_cast<std::uint8_t>(counter_ >> 8);
      a[13] = static_cast<std::uint8_t>(counter_ & 0xFF);
      a[14] = f[14];
      a[15] = f[15];
      const std::size_t count = std::size_t{frames} * kFrame;
      std::uint8_t* data = Extend(count);
      WriteStream(seed_, stream_offset_, count, data);
      SpoilData(data, count);
      stream_offset_ += std::uint64_t{frames} * kFrame;
    }
  }
  end_ -= std::min<std::size_t>(faults_.short_answer, end_ - start);
  ++answered_;
}

std::uint8_t* ModuleModel::Extend(std::size_t n) {
  // The storage only grows, and is not cleared: every byte is written before it can be taken.
  if (answer_.size() - end_ < n) answer_.resize(end_ + n);
  std::uint8_t* at = answer_.data() + end_;
  end_ += n;
  return at;
}

void ModuleModel::SpoilData(std::uint8_t* data, std::size_t size) {
  const std::uint32_t block = blocks_++;
  if (data_faults_.bias_permille) {
    // Each bit is 1 when a 16-bit draw, independent of the stream, falls below the threshold.
    const std::uint64_t threshold =
        std::uint64_t{std::min(*data_faults_.bias_permille, 1000u)} * 65536 / 1000;
    for (std::size_t i = 0; i < size; ++i) {
      const Pair draws = Mix(~seed_ + (stream_offset_ + i + 1) * kStep);
      std::uint8_t byte = 0;
      for (int bit = 0; bit < 8; ++bit) {
        const std::uint64_t draw = (bit < 4 ? draws.first : draws.second) >> (16 * (bit % 4)) & 0xFFFF;
        byte = static_cast<std::uint8_t>(byte | (draw < threshold) << bit);
      }
      data[i] = byte;
    }
  }
  if (data_faults_.stuck_after) {
    for (std::size_t i = 0; i < size; ++i)
      if (stream_offset_ + i >= *data_faults_.stuck_after) data[i] = 0x5A;
  }
  if (data_faults_.repeat_after) {
    if (block >= std::max(*data_faults_.repeat_after, 1u))
      std::memcpy(data, last_block_.data(), std::min(size, last_block_.size()));
    last_block_.assign(data, data + size);
  }
}

std::size_t ModuleModel::Take(std::uint8_t* dest, std::size_t max) {
  const std::size_t n = std::min(max, Pending());
  if (n == 0) return 0;
  std::memcpy(dest, answer_.data() + head_, n);
  head_ += n;
  if (head_ == end_) head_ = end_ = 0;
  return n;
}

std::vector<std::uint8_t> StreamBytes(std::uint64_t seed, std::uint64_t offset, std::size_t count) {
  std::vector<std::uint8_t> out(count);
  WriteStream(seed, offset, count, out.data());
  return out;
}

std::vector<std::uint8_t> ExpectedRecord(std::uint64_t seed, std::uint64_t stream_offset,
                                         std::int64_t record_length) {
  // Whole blocks take 1984 stream bytes each and the remainder's frames follow them, so the
  // record is the stream itself; only the tail of the last frame is dropped.
  if (record_length <= 0) return {};
  return StreamBytes(seed, stream_offset, static_cast<std::size_t>(record_length));
}

}  // namespace sim
