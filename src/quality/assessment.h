// The non-IID track of NIST SP 800-90B (section 6.3): ten min-entropy estimators over a sample file,
// run as NIST's reference assessment tool runs them (ea_non_iid, initial entropy estimate, all
// bits), with its figures. Pure computation; one million 8-bit samples of random data take about
// 3.5 s of processor time, spread over two threads, and 60 MB (strongly repetitive data more).
//
// Samples: each byte's low `bits` bits is one sample. The values that occur are numbered in
// increasing order (k distinct values become 0..k-1) before estimating, which changes no figure but
// gives the predictors their alphabet size k. With more than two distinct values the samples are also
// read as a bit string, each sample's `bits` bits most significant first, and that string is
// assessed on its own; with exactly two the samples are themselves binary and get the bit-string
// estimators (collision, Markov, compression) directly.
//
// Units: min-entropy in bits per sample of the sequence an estimate ran on, so per bit for the bit
// string and per `bits`-bit sample for the original samples.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace quality {

// An intermediate figure, named as the reference tool's verbose output names it ("p-hat", "p_u",
// "X-bar'", "P_global", ...). Counts are held exactly (below 2^53).
struct Figure {
  const char* name;
  double value;
};

struct Estimate {
  const char* name = "";     // "Most Common Value", "Collision", ..., "LZ78Y Prediction"
  const char* section = "";  // of SP 800-90B, "6.3.1" to "6.3.10"
  // False when the input cannot support the estimator (too few samples, no tuple seen 35 times, no
  // repeated substring longer than the t-tuple's length, ...): it then takes no part in the minimum,
  // `reason` says why, and min_entropy is NaN.
  bool applicable = false;
  const char* reason = "";
  double min_entropy = 0;
  std::vector<Figure> figures;  // in the order the reference tool prints them

  // The named figure, or NaN when this estimate has none of that name. A predictor has P_local
  // only where it was worked out: where the longest run of right predictions could raise the bound.
  double Get(const char* figure) const;
};

struct NonIidResult {
  unsigned bits = 0;                // sample width, 1..8
  std::uint64_t samples = 0;        // number of samples assessed
  unsigned distinct = 0;            // distinct sample values (k)
  std::vector<Estimate> original;   // on the samples, in section order
  std::vector<Estimate> bitstring;  // on the bit string; empty unless distinct > 2
  // Minima over the applicable estimates, starting from the largest possible value (`bits` per
  // sample, 1 per bit). Fewer than two distinct values award no entropy: no estimator runs and all
  // three are 0.
  double h_original = 0;   // bits per sample
  double h_bitstring = 0;  // bits per bit; NaN without a bit string
  // bits per sample: min(h_original, bits * h_bitstring), or h_original without a bit string.
  double h_assessed = 0;
};

struct AssessOptions {
  unsigned threads = 2;  // estimators run side by side on this many threads (1: the caller's only)
  // Told after each group of estimators with how many of `total` groups are done; called from the
  // worker threads, one call at a time.
  std::function<void(unsigned done, unsigned total)> progress;
};

// `bits` must be 1..8 (std::invalid_argument otherwise); bits above the width are masked off, as the
// reference tool reads a file with a given width. Any length is accepted: estimators that need more samples
// are reported as not applicable.
NonIidResult AssessNonIid(std::span<const std::uint8_t> samples, unsigned bits,
                          const AssessOptions& options = {});

// SP 800-90B 3.1.3: the initial entropy estimate is the smallest of the submitter's claim and the
// assessment, H_I = min(H_submitter, H_original, bits * H_bitstring). The claim stands when the
// assessment does not fall below it; otherwise H_I is the assessed figure, not the claim.
struct InitialEntropy {
  double claimed = 0;    // H_submitter, bits per sample
  double assessed = 0;   // the assessment's h_assessed
  double h_initial = 0;  // H_I
  bool claim_supported = false;
};
InitialEntropy CheckInitialEntropy(const NonIidResult& result, double claimed_bits_per_sample);

}  // namespace quality
