// The RNGACQ_SIM text: the simulated module's own test configuration.
#include <charconv>
#include <cstdio>

#include "drivers/sim/sim_driver.h"
#include "text/text.h"
#include "usb/transfer_request.h"

namespace sim {
namespace {

template <typename T>
bool ParseNumber(std::string_view text, T& value, int base = 10) {
  if (base == 10 && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
    base = 16;
  }
  if (text.empty()) return false;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  return ec == std::errc{} && end == text.data() + text.size();
}

bool ParseVersion(std::string_view text, std::uint32_t& version) {
  version = 0;
  for (int part = 0; part < 4; ++part) {
    const std::size_t dot = text.find('.');
    if ((part < 3) != (dot != std::string_view::npos)) return false;
    std::uint8_t byte = 0;
    if (!ParseNumber(text.substr(0, dot), byte)) return false;
    version = version << 8 | byte;
    text = part < 3 ? text.substr(dot + 1) : std::string_view{};
  }
  return true;
}

}  // namespace

std::optional<Options> ParseOptions(std::string_view text, std::string& error) {
  Options options;
  ModuleConfig module;
  std::uint32_t devices = 1;
  std::optional<std::uint16_t> vendor, product;

  while (!text.empty()) {
    const std::size_t comma = text.find(',');
    const std::string_view item = text::Trim(text.substr(0, comma));
    text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
    if (item.empty()) continue;
    const std::size_t equals = item.find('=');
    const std::string_view key = text::Trim(item.substr(0, equals));
    const bool has_value = equals != std::string_view::npos;
    const std::string_view value = has_value ? text::Trim(item.substr(equals + 1)) : std::string_view{};
    Faults& f = module.faults;
    bool ok = true;
    bool known = true;

    auto flag = [&](bool& target) {
      target = true;
      ok = !has_value;
    };
    auto count = [&](auto& target) {
      std::uint32_t n = 0;
      ok = has_value && ParseNumber(value, n);
      if (ok) target = n;
    };
    auto nibble = [&](std::optional<std::uint8_t>& target) {
      std::uint8_t n = 0;
      ok = has_value && ParseNumber(value, n, 16) && n <= 0x0F;
      if (ok) target = n;
    };
    auto id = [&](std::optional<std::uint16_t>& target) {
      std::uint16_t n = 0;
      ok = has_value && ParseNumber(value, n, 16);
      if (ok) target = n;
    };

    if (key == "devices") {
      count(devices);
      ok = ok && devices <= 16;
    } else if (key == "speed") {
      ok = value == "full" || value == "high";
      module.high_speed = value == "high";
    } else if (key == "driver") {
      ok = ParseVersion(value, module.driver_version);
    } else if (key == "seed") {
      ok = has_value && ParseNumber(value, module.seed);
    } else if (key == "vid") {
      id(vendor);
    } else if (key == "pid") {
      id(product);
    } else if (key == "no_bulk_in") {
      flag(f.no_bulk_in);
    } else if (key == "no_bulk_out") {
      flag(f.no_bulk_out);
    } else if (key == "open_fail") {
      flag(f.open_fails);
    } else if (key == "strings_unreadable") {
      flag(f.strings_unreadable);
    } else if (key == "config_unreadable") {
      flag(f.config_unreadable);
    } else if (key == "status") {
      nibble(f.status_nibble);
    } else if (key == "end") {
      nibble(f.end_nibble);
    } else if (key == "short_answer") {
      count(f.short_answer);
    } else if (key == "short_send") {
      count(f.short_send);
    } else if (key == "silent") {
      flag(f.silent);
    } else if (key == "send_pending") {
      flag(f.send_pending);
    } else if (key == "abort_ineffective") {
      flag(f.abort_ineffective);
    } else if (key == "silent_after") {
      count(f.silent_after_blocks);
    } else if (key == "disconnect_after") {
      count(f.disconnect_after_blocks);
    } else if (key == "replug_after") {
      count(f.replug_after_ms);
      ok = ok && *f.replug_after_ms <= 3600000;
    } else if (key == "replug_serial") {
      ok = has_value && !value.empty() && value.size() <= 126;
      f.replug_serial = std::string(value);
    } else if (key == "refuse") {
      flag(f.refuse_requests);
    } else if (key == "stuck_after") {
      std::uint64_t n = 0;
      ok = has_value && ParseNumber(value, n);
      f.stuck_after = n;
    } else if (key == "bias") {
      count(f.bias_permille);
      ok = ok && *f.bias_permille <= 1000;
    } else if (key == "repeat_after") {
      count(f.repeat_after);
    } else if (key == "worker") {
      flag(options.complete_from_worker);
    } else if (key == "latency_us") {
      count(options.latency_us);
      ok = ok && options.latency_us <= 1000000;
      options.complete_from_worker = true;
    } else if (key == "no_list") {
      flag(options.list_unavailable);
    } else if (key == "time_divisor") {
      count(options.time_divisor);
      ok = ok && options.time_divisor >= 1;
    } else {
      known = false;
    }
    if (!known) {
      error = "unknown key '" + std::string(key) + "'";
      return std::nullopt;
    }
    if (!ok) {
      error =
          "bad value for '" + std::string(key) + "'" + (has_value ? ": '" + std::string(value) + "'" : "");
      return std::nullopt;
    }
  }

  module.device_descriptor = DefaultDeviceDescriptor();
  if (vendor) usb::WriteLe16(module.device_descriptor.data() + 8, *vendor);
  if (product) usb::WriteLe16(module.device_descriptor.data() + 10, *product);
  options.modules.clear();
  for (std::uint32_t i = 0; i < devices; ++i) {
    ModuleConfig copy = module;
    char serial[16];
    std::snprintf(serial, sizeof serial, "SIM-%08u", static_cast<unsigned>(i + 1));
    copy.serial = serial;
    // Each module its own stream, the same from run to run; the first keeps the seed given.
    copy.seed = module.seed + i;
    options.modules.push_back(std::move(copy));
  }
  return options;
}

}  // namespace sim
