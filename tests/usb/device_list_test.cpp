// Counting and opening through the system's list of present modules when the list misbehaves:
// unreadable members, a list that changes between the count and the open, far too many members.
#include <gtest/gtest.h>

#include <deque>

#include "drivers/sim/sim_driver.h"
#include "usb/device.h"

namespace {

// What one member of a list answers.
enum class Member { kPresent, kUnreadable, kNoPath };

class ScriptedList : public usb::DeviceList {
 public:
  explicit ScriptedList(std::vector<Member> members) : members_(std::move(members)) {}
  std::uint32_t Enumerate(std::uint32_t index) override {
    if (index >= members_.size()) return usb::kErrorNoMoreItems;
    return members_[index] == Member::kUnreadable ? 13u : usb::kErrorSuccess;
  }
  std::optional<std::string> DevicePath(std::uint32_t index) override {
    if (index >= members_.size() || members_[index] == Member::kNoPath) return std::nullopt;
    return "sim:" + std::to_string(index);
  }

 private:
  std::vector<Member> members_;
};

// The simulated modules behind a list that answers each call with the next script; no script
// left: no list at all.
struct ScriptedDriver : sim::SimDriver {
  ScriptedDriver() : SimDriver(ThreeModules()) {}
  static sim::Options ThreeModules() {
    sim::Options options;
    options.modules.resize(3);
    return options;
  }
  std::unique_ptr<usb::DeviceList> ListPresent(const usb::Guid&, std::span<const usb::UsbId>) override {
    if (lists.empty()) return nullptr;
    auto list = std::make_unique<ScriptedList>(std::move(lists.front()));
    lists.pop_front();
    return list;
  }
  std::deque<std::vector<Member>> lists;
};

struct Scope {
  ScriptedDriver driver;
};

using enum Member;

TEST(DeviceList, UnreadableMembersAreNotCountedButTheCountGoesOn) {
  Scope scope;
  scope.driver.lists = {{kPresent, kUnreadable, kPresent}, {}};
  usb::UsbDevice device(scope.driver, nullptr, usb::kModuleInterfaceGuid, false);
  EXPECT_EQ(device.CountDevices(), 2);
  EXPECT_EQ(device.CountDevices(), 0) << "an empty list";
  EXPECT_EQ(device.CountDevices(), 0) << "no list";
}

TEST(DeviceList, ACountOverTwoHundredFiftyFiveSaturates) {
  Scope scope;
  scope.driver.lists = {std::vector<Member>(300, kPresent)};
  usb::UsbDevice device(scope.driver, nullptr, usb::kModuleInterfaceGuid, false);
  EXPECT_EQ(device.CountDevices(), 255);
}

TEST(DeviceList, AModuleThatChangedBetweenTheCountAndTheOpenIsNotOpened) {
  struct Row {
    const char* name;
    std::deque<std::vector<Member>> lists;
  };
  const Row rows[] = {
      {"the list is gone", {{kPresent}}},
      {"the member has become unreadable", {{kPresent}, {kUnreadable}}},
      {"the member has left", {{kPresent}, {}}},
      {"the member has no path", {{kPresent}, {kNoPath}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Scope scope;
    scope.driver.lists = row.lists;
    usb::UsbDevice device(scope.driver, nullptr, usb::kModuleInterfaceGuid, false);
    EXPECT_FALSE(device.Open(0));
    EXPECT_EQ(device.DeviceHandle, usb::kInvalidHandle);
    EXPECT_EQ(scope.driver.OpenHandles(), 0u);
  }
  Scope scope;
  scope.driver.lists = {{kPresent}, {kPresent}};
  usb::UsbDevice device(scope.driver, nullptr, usb::kModuleInterfaceGuid, false);
  EXPECT_TRUE(device.Open(0)) << "the same list twice";
  EXPECT_EQ(scope.driver.OpenHandles(), 1u);
}

}  // namespace
