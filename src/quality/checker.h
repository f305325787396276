// All quality checks of one data file, fed every delivered byte in order. Pure computation in
// constant memory: any chunking of the same bytes gives the same results, and the data are
// only read, never changed or held back.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "quality/fips.h"
#include "quality/health.h"
#include "quality/statistics.h"

namespace quality {

enum class Verdict { Pass, Warning, Fail };

struct Results {
  double entropy_claim = 8;
  Statistics statistics;
  FipsResult fips;
  std::uint64_t fips_failure_limit = 0;  // more failed blocks than this fail the file
  HealthResult rct, apt, repeat;
  std::array<std::uint64_t, 256> histogram{};
  Verdict verdict = Verdict::Pass;
};

// The most failed FIPS blocks a good source shows in `blocks` blocks. rngtest fails about one
// good block in 1,250 by design; the limit is the count that a good source exceeds with a
// probability of at most 2^-30 (the health tests' warning level), from the binomial
// distribution. It grows like the expected count plus about six standard deviations, so a source
// whose blocks fail noticeably more often than 1 in 1,250 fails over a long enough file, and
// one whose every block fails (a biased source) fails from three blocks on.
std::uint64_t FipsFailureLimit(std::uint64_t blocks);

class Checker {
 public:
  // `entropy_claim`: the claimed min-entropy per byte, 0 < h <= 8.
  explicit Checker(double entropy_claim = 8, HealthListener listener = {});
  void Feed(const std::uint8_t* data, std::size_t size);
  // True once a health test reached its failure level: the source is stuck, stop the run.
  bool Failed() const { return health_.Failed(); }
  // The health tests start afresh after a gap in the data; the record's statistics go on.
  void RestartHealth() { health_.Restart(); }
  Results Finish() const;

 private:
  double entropy_claim_;
  HealthTests health_;
  FipsTests fips_;
  ByteStatistics statistics_;
};

}  // namespace quality
