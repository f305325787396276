// The quality report of one run of the checker as one self-contained HTML page: per file its
// verdict, bitmap, histogram, health and FIPS counts and, when made, its assessment. Inline CSS and
// SVG only, the bitmap as a data: URL, so that the page shows the same anywhere, offline.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "quality/assessment_report.h"
#include "quality/checker.h"
#include "quality/restart.h"

namespace quality {

struct HtmlFile {
  std::string name;
  Results results;
  std::vector<std::uint8_t> prefix;  // the file's first bytes, at most kPictureBytes of them
  std::optional<NonIidReport> non_iid;
  std::optional<RestartResult> restart;
};

std::string HtmlReport(std::span<const HtmlFile> files);

// Text made safe to stand in an element or an attribute value.
std::string HtmlEscape(std::string_view text);
// RFC 4648 base64, with padding.
std::string Base64(std::span<const std::uint8_t> bytes);

}  // namespace quality
