// The tests of SP 800-90B 5.2 one by one, for the IID assessment (iid.cpp). Each takes the samples
// numbered 0..k-1, k >= 2.
#pragma once

#include <cstdint>
#include <span>

#include "quality/iid.h"

namespace quality::iid {

IidChiSquare Independence(std::span<const std::uint8_t> symbols, unsigned k);       // 5.2.1
IidChiSquare GoodnessOfFit(std::span<const std::uint8_t> symbols, unsigned k);      // 5.2.2
IidLongestRepeat LongestRepeat(std::span<const std::uint8_t> symbols, unsigned k);  // 5.2.3

}  // namespace quality::iid
