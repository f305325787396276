// Report lines for quality results. Labels come from a lookup (key -> text), so that a program
// may take them from its catalogue (section F008 of lang.INI); DefaultLabel holds the built-in
// English texts. Figures carry the precision ent prints them with.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "quality/checker.h"

namespace quality {

// The catalogue section of the labels.
inline constexpr std::string_view kLabelSection = "F008";

using LabelLookup = std::function<std::string(std::string_view key)>;

// The built-in text of a label key ("S001"...), empty for an unknown key.
std::string DefaultLabel(std::string_view key);

// The report of one file, one line each, without line ends.
std::vector<std::string> ReportLines(const Results& results, const LabelLookup& labels = DefaultLabel);
// "pass", "warning" or "fail", followed by the reason for the last two.
std::string VerdictLine(const Results& results, const LabelLookup& labels = DefaultLabel);
// A health event as it happens.
std::string HealthEventLine(const HealthEvent& event, const LabelLookup& labels = DefaultLabel);
// "pass", "warning" or "fail".
std::string_view VerdictName(Verdict verdict);

// One JSON object (one line, no line end) with the file's name and every figure, then `members`
// ("key":value pairs) when there are any.
std::string JsonLine(std::string_view file, const Results& results, std::string_view members = {});

// JSON pieces: a string with its quotes and escapes; a number, null when it is not finite.
void AppendJsonString(std::string& out, std::string_view text);
std::string JsonNumber(double value);

}  // namespace quality
