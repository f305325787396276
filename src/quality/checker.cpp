#include "quality/checker.h"

namespace quality {

std::uint64_t FipsFailureLimit(std::uint64_t blocks) {
  return CriticalBinomial(blocks, 1.0L / 1250, kWarningAlphaLog2);
}

Checker::Checker(double entropy_claim, HealthListener listener)
    : entropy_claim_(entropy_claim), health_(entropy_claim, std::move(listener)) {}

void Checker::Feed(const std::uint8_t* data, std::size_t size) {
  health_.Feed(data, size);
  fips_.Feed(data, size);
  statistics_.Feed(data, size);
}

Results Checker::Finish() const {
  Results r;
  r.entropy_claim = entropy_claim_;
  r.histogram = fips_.Histogram();
  r.statistics = statistics_.Finish(r.histogram);
  r.fips = fips_.Result();
  r.fips_failure_limit = FipsFailureLimit(r.fips.blocks);
  r.rct = health_.Rct();
  r.apt = health_.Apt();
  r.repeat = health_.Repeat();
  if (health_.Failed() || r.fips.failures > r.fips_failure_limit) {
    r.verdict = Verdict::Fail;
  } else if (r.rct.warnings + r.apt.warnings + r.repeat.warnings > 0) {
    r.verdict = Verdict::Warning;
  }
  return r;
}

}  // namespace quality
