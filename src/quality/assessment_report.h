// The SP 800-90B assessments as report lines (a table a person reads at a glance) and as JSON
// members, for rngacq-check.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "quality/assessment.h"
#include "quality/iid.h"
#include "quality/restart.h"

namespace quality {

// A non-IID assessment and, when the user made one, the check of the entropy claim.
struct NonIidReport {
  NonIidResult result;
  std::optional<InitialEntropy> claim;
  double seconds = 0;
  bool Holds() const { return !claim || claim->claim_supported; }
};

// The IID track: the claim holds when the samples were found IID and their most-common-value
// figure is not below it.
struct IidReport {
  IidResult result;
  std::uint64_t seed = 1;
  std::optional<double> claim;
  double seconds = 0;
  bool Holds() const { return result.iid && (!claim || *claim <= result.h_mcv); }
};

std::vector<std::string> AssessmentLines(const NonIidReport& report);
std::vector<std::string> AssessmentLines(const IidReport& report);
std::vector<std::string> AssessmentLines(const RestartResult& result);

// `"assessment":{...}`, to stand among a file's JSON members.
std::string AssessmentJson(const NonIidReport& report);
std::string AssessmentJson(const IidReport& report);
std::string AssessmentJson(const RestartResult& result);

}  // namespace quality
