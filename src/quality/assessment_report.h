// The SP 800-90B assessments as report lines (a table a person reads at a glance) and as JSON
// members, for rngacq-check.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "quality/assessment.h"
#include "quality/restart.h"

namespace quality {

// A non-IID assessment and, when the user made one, the check of the entropy claim.
struct NonIidReport {
  NonIidResult result;
  std::optional<InitialEntropy> claim;
  double seconds = 0;
  bool Holds() const { return !claim || claim->claim_supported; }
};

std::vector<std::string> AssessmentLines(const NonIidReport& report);
std::vector<std::string> AssessmentLines(const RestartResult& result);

// `"assessment":{...}`, to stand among a file's JSON members.
std::string AssessmentJson(const NonIidReport& report);
std::string AssessmentJson(const RestartResult& result);

}  // namespace quality
