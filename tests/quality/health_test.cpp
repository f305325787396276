// The on-line health tests' events: at which byte each test warns and fails, whatever pieces the
// data arrives in.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "quality/checker.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Event {
  quality::HealthTest test;
  quality::HealthLevel level;
  std::uint64_t offset;
  bool operator==(const Event&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Event& e) {
  const char* tests[] = {"repetition count", "adaptive proportion", "block repetition"};
  return out << tests[static_cast<int>(e.test)]
             << (e.level == quality::HealthLevel::Warning ? " warning" : " failure") << " at " << e.offset;
}

// The events of a checker fed `data` in pieces of at most `most` bytes (0: all at once).
std::vector<Event> EventsOf(const Bytes& data, std::size_t most, std::uint32_t seed = 3) {
  std::vector<Event> events;
  quality::Checker checker(8, [&](const quality::HealthEvent& e) {
    events.push_back({e.test, e.level, e.offset});
  });
  std::mt19937 generator(seed);
  for (std::size_t at = 0, n = 0; at < data.size(); at += n) {
    n = most == 0 ? data.size() : std::min<std::size_t>(data.size() - at, 1 + generator() % most);
    checker.Feed(data.data() + at, n);
  }
  return events;
}

using enum quality::HealthTest;
using enum quality::HealthLevel;

TEST(Health, EachTestWarnsAndFailsAtItsByteWhateverPiecesTheDataComesIn) {
  // Claim 8: repetition count cutoffs 5/9, adaptive proportion 16/25 in windows of 512 from the
  // file's start, block repetition 4/8 at a lag of 1984.
  Bytes data(4096);
  for (std::size_t i = 0; i < data.size(); ++i)  // no run, match or repeat by accident
    data[i] = static_cast<std::uint8_t>(i % 251);
  std::fill_n(data.begin() + 100, 9, 0xEE);
  // The window from 1024 holds its first byte's value (20) at 1024 + 20k and, by the pattern, at
  // 1275 and 1526: the 16th is 1024 + 20 * 14, the 25th 1024 + 20 * 23.
  for (std::size_t k = 1; k < 25; ++k) data[1024 + 20 * k] = data[1024];
  std::copy_n(data.begin() + 3000 - 1984, 9, data.begin() + 3000);
  const std::vector<Event> expected = {
      {RepetitionCount, Warning, 104},     {RepetitionCount, Failure, 108},
      {AdaptiveProportion, Warning, 1304}, {AdaptiveProportion, Failure, 1484},
      {BlockRepetition, Warning, 3003},    {BlockRepetition, Failure, 3007},
  };
  EXPECT_EQ(EventsOf(data, 0), expected) << "fed at once";
  for (const std::size_t most : {1u, 2u, 7u, 600u, 2500u})
    EXPECT_EQ(EventsOf(data, most), expected) << "pieces up to " << most;
}

TEST(Health, ConstantBytesRaiseEveryTest) {
  const Bytes data(4096, 0x55);
  for (const std::size_t most : {0u, 1u, 100u}) {
    const std::vector<Event> events = EventsOf(data, most);
    const auto first = [&](quality::HealthTest test, quality::HealthLevel level) -> std::int64_t {
      for (const Event& e : events)
        if (e.test == test && e.level == level) return static_cast<std::int64_t>(e.offset);
      return -1;
    };
    SCOPED_TRACE(most == 0 ? "fed at once" : "pieces up to " + std::to_string(most));
    EXPECT_EQ(first(RepetitionCount, Warning), 4);
    EXPECT_EQ(first(RepetitionCount, Failure), 8);
    EXPECT_EQ(first(AdaptiveProportion, Warning), 15);
    EXPECT_EQ(first(AdaptiveProportion, Failure), 24);
    EXPECT_EQ(first(BlockRepetition, Warning), 1984 + 3);
    EXPECT_EQ(first(BlockRepetition, Failure), 1984 + 7);
  }
}

// After a gap (a module that left and came back) no run, window or repeat reaches across it: the
// tests see the bytes after it as a fresh start, at the record's own offsets.
TEST(Health, ARestartKeepsRunsAndRepeatsFromReachingAcrossTheGap) {
  Bytes before(3000);
  for (std::size_t i = 0; i < before.size(); ++i) before[i] = static_cast<std::uint8_t>(i % 251);
  std::fill_n(before.end() - 4, 4, 0xEE);
  // After the gap: four more 0xEE (eight in a row across it), then the block before the gap again.
  Bytes after(4, 0xEE);
  after.insert(after.end(), before.begin() + 1020, before.end() - 4);  // at a lag of 1984 from each
  const auto events_with = [&](bool restart) {
    std::vector<Event> events;
    quality::Checker checker(8, [&](const quality::HealthEvent& e) {
      events.push_back({e.test, e.level, e.offset});
    });
    checker.Feed(before.data(), before.size());
    if (restart) checker.RestartHealth();
    checker.Feed(after.data(), after.size());
    return events;
  };
  EXPECT_EQ(events_with(true), std::vector<Event>{});
  EXPECT_FALSE(events_with(false).empty()) << "the data would raise the tests without the restart";

  // Constant bytes after the restart raise every test at the same distance from it as from a
  // file's start.
  std::vector<Event> events;
  quality::Checker checker(8, [&](const quality::HealthEvent& e) {
    events.push_back({e.test, e.level, e.offset});
  });
  checker.Feed(before.data(), 2999);
  checker.RestartHealth();
  const Bytes constant(4096, 0x55);
  checker.Feed(constant.data(), constant.size());
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.front(), (Event{RepetitionCount, Warning, 2999 + 4}));
  const auto first_repeat =
      std::find_if(events.begin(), events.end(), [](const Event& e) { return e.test == BlockRepetition; });
  ASSERT_NE(first_repeat, events.end());
  EXPECT_EQ(*first_repeat, (Event{BlockRepetition, Warning, 2999 + 1984 + 3}));
}

}  // namespace
