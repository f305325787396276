// An emulated USB bus for the libusb backend's tests. Each device is a programmatic usbfs device
// (umockdev's ioctl handler) whose bulk endpoints carry the module's command frames to a
// sim::ModuleModel and its answers back, so that the real libusb, and the real program, run
// unmodified against it and sim::ExpectedRecord predicts every byte. It works only in a process
// running under umockdev's preload library, under which the test program restarts itself (below).
#pragma once

#include <gtest/gtest.h>
#include <linux/ioctl.h>
#include <linux/usb/ch9.h>
#include <linux/usbdevice_fs.h>
#include <umockdev.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "drivers/sim/module_model.h"
#include "support/test_support.h"
#include "usb/transfer_request.h"

namespace emulated {

inline constexpr std::uint8_t kBulkIn = 0x81;
inline constexpr std::uint8_t kBulkOut = 0x01;

// ShortAnswer: answers lack their last bytes; Stall: waiting receives stall; Unplug: the device goes.
enum class Fault { None, ShortAnswer, Stall, Unplug };

struct DeviceOptions {
  std::uint16_t product = 0x5678;
  bool high_speed = true;
  std::string product_name = "Emulated RNG module";
  std::string serial = "EMU-0001";
  std::uint64_t seed = 1;
  Fault fault = Fault::None;
  std::uint32_t fault_at_request = 0;  // block requests answered normally before the fault
  bool claimed_elsewhere = false;      // another program holds the interface: a claim is refused
};

struct Unref {
  void operator()(gpointer object) const { g_object_unref(object); }
};
template <typename T>
using Ref = std::unique_ptr<T, Unref>;

// A usbfs URB as the client submitted it, with its data buffer.
struct Urb {
  Ref<UMockdevIoctlData> urb, buffer;
};

class EmulatedDevice {
 public:
  EmulatedDevice(const DeviceOptions& options, unsigned address)
      : options_(options), address_(address), model_(options.seed) {
    // The device descriptor (every device's vendor ID is 1234), then the one configuration: one
    // vendor-specific interface with a bulk IN and a bulk OUT endpoint.
    descriptors_ = {18, 1, 0x00, 0x02, 0, 0, 0, 64, 0x34, 0x12, 0, 0, 0x00, 0x01, 1, 2, 3, 1};
    usb::WriteLe16(&descriptors_[10], options.product);
    descriptors_.insert(descriptors_.end(), {9, 2, 32, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 2, 0xFF, 0, 0, 0});
    const std::uint8_t packet_high = options.high_speed ? 2 : 0, packet_low = options.high_speed ? 0 : 64;
    for (std::uint8_t endpoint : {kBulkIn, kBulkOut})
      descriptors_.insert(descriptors_.end(), {7, 5, endpoint, 2, packet_low, packet_high, 0});
    handler_.reset(static_cast<UMockdevIoctlBase*>(g_object_new(UMOCKDEV_TYPE_IOCTL_BASE, nullptr)));
    // Runs in umockdev's worker thread, once per ioctl of a client of this device.
    const auto on_ioctl = +[](UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
      return static_cast<EmulatedDevice*>(self)->Handle(client);
    };
    g_signal_connect(handler_.get(), "handle-ioctl", G_CALLBACK(on_ioctl), this);
  }

  UMockdevIoctlBase* handler() const { return handler_.get(); }

  // The device leaves now: what is waiting ends with ENODEV, and so does every later request.
  void Unplug() {
    const std::lock_guard lock(mutex_);
    Leave(true);
  }

  // The fault Unplug has happened, or the device was removed: it answers no more.
  bool Gone() {
    const std::lock_guard lock(mutex_);
    return gone_;
  }

  std::string SysfsPath() const {
    return "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-" + std::to_string(address_);
  }

  std::string DeviceNode() const { return "/dev/bus/usb/001/" + std::to_string(1000 + address_).substr(1); }
  // Interfaces handed back so far.
  int Released() {
    const std::lock_guard lock(mutex_);
    return released_;
  }

  // The device as umockdev's text format describes it: sysfs attributes and the device node.
  std::string Description() const {
    std::string description =
        "P: " + SysfsPath().substr(4) + "\nN: " + DeviceNode().substr(5) + "\nE: DEVNAME=" + DeviceNode() +
        "\nE: DEVTYPE=usb_device\nE: SUBSYSTEM=usb\nA: busnum=1\\n\nA: devnum=" + std::to_string(address_) +
        "\\n\nA: speed=" + (options_.high_speed ? "480" : "12") +
        "\\n\nA: bConfigurationValue=1\\n\nH: descriptors=";
    for (const std::uint8_t b : descriptors_)
      description += {"0123456789ABCDEF"[b >> 4], "0123456789ABCDEF"[b & 15]};
    return description + "\n";
  }

 private:
  gboolean Handle(UMockdevIoctlClient* client) {
    std::unique_lock lock(mutex_);
    const int error = Serve(umockdev_ioctl_client_get_request(client), umockdev_ioctl_client_get_arg(client));
    lock.unlock();
    if (error != EAGAIN) {
      umockdev_ioctl_client_complete(client, error == 0 ? 0 : -1, error);
      return TRUE;
    }
    // The device node always polls ready, so libusb asks again at once: answer "nothing yet" a
    // millisecond later rather than let it spin.
    GSource* source = g_timeout_source_new(1);
    const auto again = +[](gpointer waiting) -> gboolean {
      umockdev_ioctl_client_complete(static_cast<UMockdevIoctlClient*>(waiting), -1, EAGAIN);
      return G_SOURCE_REMOVE;
    };
    g_source_set_callback(source, again, g_object_ref(client), g_object_unref);
    g_source_attach(source, g_main_context_get_thread_default());
    g_source_unref(source);
    return TRUE;
  }

  // The usbfs requests libusb makes; returns the errno value of the answer (EAGAIN: nothing yet).
  int Serve(gulong request, UMockdevIoctlData* arg) {
    switch (request) {
      case USBDEVFS_DISCONNECT_CLAIM:
        if (options_.claimed_elsewhere) return EBUSY;
        return gone_ ? ENODEV : 0;
      case USBDEVFS_RELEASEINTERFACE:
        ++released_;
        return gone_ ? ENODEV : 0;
      case USBDEVFS_IOCTL:  // no kernel driver to detach or reattach
        return ENODATA;
      case USBDEVFS_SUBMITURB:
        return gone_ ? ENODEV : Submit(arg) ? 0 : EINVAL;
      case USBDEVFS_REAPURBNDELAY: {
        if (reapable_.empty()) return gone_ ? ENODEV : EAGAIN;
        const Urb u = std::move(reapable_.front());  // the oldest finished URB
        reapable_.pop_front();
        const Ref<UMockdevIoctlData> slot(umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), nullptr));
        return slot && umockdev_ioctl_data_set_ptr(slot.get(), 0, u.urb.get()) ? 0 : EFAULT;
      }
      case USBDEVFS_DISCARDURB: {
        unsigned long address = 0;
        std::memcpy(&address, arg->data,
                    std::min<std::size_t>(sizeof address, static_cast<std::size_t>(arg->data_len)));
        const auto it = std::find_if(pending_in_.begin(), pending_in_.end(),
                                     [&](const Urb& u) { return u.urb->client_addr == address; });
        if (it == pending_in_.end()) return EINVAL;
        Finish(std::move(*it), -ENOENT, 0);
        pending_in_.erase(it);
        return 0;
      }
      default:
        return ENOTTY;
    }
  }

  void Finish(Urb u, int status, int length) {
    std::memcpy(u.urb->data + offsetof(usbdevfs_urb, status), &status, sizeof status);
    std::memcpy(u.urb->data + offsetof(usbdevfs_urb, actual_length), &length, sizeof length);
    reapable_.push_back(std::move(u));
  }

  bool Submit(UMockdevIoctlData* arg) {
    Urb u{Ref<UMockdevIoctlData>(umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr)),
          nullptr};
    if (!u.urb) return false;
    usbdevfs_urb urb{};
    std::memcpy(&urb, u.urb->data, sizeof urb);
    const auto length = static_cast<std::size_t>(std::max(urb.buffer_length, 0));
    u.buffer.reset(umockdev_ioctl_data_resolve(u.urb.get(), offsetof(usbdevfs_urb, buffer), length, nullptr));
    if (!u.buffer) return false;
    if (urb.type == USBDEVFS_URB_TYPE_CONTROL && length >= 8) {
      const int n = Control(u.buffer->data, length);
      Finish(std::move(u), std::min(n, 0), std::max(n, 0));
    } else if (urb.type == USBDEVFS_URB_TYPE_BULK && urb.endpoint == kBulkOut) {
      Command(u.buffer->data, length);
      Finish(std::move(u), gone_ ? -ENODEV : 0, gone_ ? 0 : static_cast<int>(length));
    } else if (urb.type == USBDEVFS_URB_TYPE_BULK && urb.endpoint == kBulkIn) {
      pending_in_.push_back(std::move(u));
    } else {
      return false;
    }
    // Waiting answer bytes go to the oldest IN URB; a URB ends with the bytes there are.
    while (model_.Pending() > 0 && !pending_in_.empty()) {
      Urb in = std::move(pending_in_.front());
      pending_in_.pop_front();
      const std::size_t n = model_.Take(in.buffer->data, static_cast<std::size_t>(in.buffer->data_len));
      Finish(std::move(in), 0, static_cast<int>(n));
    }
    return true;
  }

  // The standard requests a host makes of the default pipe; anything else stalls.
  int Control(std::uint8_t* setup, std::size_t size) {
    const unsigned kind = setup[3], index = setup[2],
                   length = static_cast<unsigned>(setup[6] | (setup[7] << 8));
    const bool descriptor = setup[0] == 0x80 && setup[1] == USB_REQ_GET_DESCRIPTOR;
    const std::string texts[] = {"Emulated", options_.product_name, options_.serial};
    std::vector<std::uint8_t> answer;
    if (setup[0] == 0x81 && setup[1] == USB_REQ_GET_INTERFACE) {
      answer = {0};
    } else if (descriptor && kind == USB_DT_DEVICE) {
      answer.assign(descriptors_.begin(), descriptors_.begin() + 18);
    } else if (descriptor && kind == USB_DT_CONFIG && index == 0) {
      answer.assign(descriptors_.begin() + 18, descriptors_.end());
    } else if (descriptor && kind == USB_DT_STRING && index == 0) {
      answer = {4, 3, 0x09, 0x04};  // the language list
    } else if (descriptor && kind == USB_DT_STRING && index <= 3) {
      answer = {0, 3};
      for (char c : texts[index - 1].substr(0, 126))
        answer.insert(answer.end(), {static_cast<std::uint8_t>(c), 0});
      answer[0] = static_cast<std::uint8_t>(answer.size());
    } else {
      return -EPIPE;
    }
    const std::size_t n = std::min({answer.size(), std::size_t{length}, size - 8});
    std::copy_n(answer.begin(), n, setup + 8);
    return static_cast<int>(n);
  }

  // The module answers every command; the fault, once due, decides what reaches the host.
  void Command(const std::uint8_t* frames, std::size_t size) {
    const bool due = options_.fault != Fault::None && model_.Answered() >= options_.fault_at_request;
    if (due && options_.fault != Fault::ShortAnswer) {
      Leave(options_.fault == Fault::Unplug);
      return;
    }
    if (due) model_.SetFaults({std::nullopt, std::nullopt, 100});
    model_.Feed(frames, size);
  }

  // Waiting IN transfers end: with ENODEV when the device is gone, with a stall otherwise.
  void Leave(bool gone) {
    gone_ = gone_ || gone;
    for (Urb& u : pending_in_) Finish(std::move(u), gone_ ? -ENODEV : -EPIPE, 0);
    pending_in_.clear();
  }

  const DeviceOptions options_;
  const unsigned address_;  // on bus 1
  std::vector<std::uint8_t> descriptors_;
  Ref<UMockdevIoctlBase> handler_;

  std::mutex mutex_;
  sim::ModuleModel model_;
  std::deque<Urb> pending_in_;
  std::deque<Urb> reapable_;
  bool gone_ = false;
  int released_ = 0;
};

// Whether this process runs under umockdev's preload library, without which there is no emulation.
inline bool Available() {
  return testing_support::ReadFile("/proc/self/maps").find("libumockdev-preload") != std::string::npos;
}

// For a test's SetUp: without the emulation the test is skipped, or fails where the environment
// demands the emulation (RNGACQ_REQUIRE_EMULATION=1, as CI sets), so that it cannot vanish there.
inline void SkipOrFailWithoutEmulation() {
  if (Available()) return;
  if (const char* required = std::getenv("RNGACQ_REQUIRE_EMULATION");
      required && std::string(required) == "1")
    FAIL() << "USB emulation required, but this process does not run under libumockdev-preload.so.0";
  GTEST_SKIP() << "USB emulation unavailable: this process does not run under libumockdev-preload.so.0";
}

class Testbed {
 public:
  ~Testbed() {
    for (const auto& device : devices_)
      umockdev_testbed_detach_ioctl(testbed_.get(), device->DeviceNode().c_str(), nullptr);
  }

  // The devices take the addresses 2, 3, ... on bus 1 in the order they are added, as a real bus
  // gives a replugged device a new address. The device added `index`-th (from 0).
  EmulatedDevice& Device(std::size_t index) { return *devices_.at(index); }

  // A device on the bus from the start.
  void Add(const DeviceOptions& options) {
    auto device = std::make_unique<EmulatedDevice>(options, static_cast<unsigned>(devices_.size() + 2));
    g_autoptr(GError) error = nullptr;
    if (!umockdev_testbed_add_from_string(testbed_.get(), device->Description().c_str(), &error) ||
        !umockdev_testbed_attach_ioctl(testbed_.get(), device->DeviceNode().c_str(), device->handler(),
                                       &error))
      throw std::runtime_error(std::string("cannot add the emulated device: ") +
                               (error ? error->message : "?"));
    devices_.push_back(std::move(device));
  }

  // A device plugged in later: a program watching the bus hears of it.
  void PlugIn(const DeviceOptions& options) {
    Add(options);
    umockdev_testbed_uevent(testbed_.get(), devices_.back()->SysfsPath().c_str(), "add");
  }

  // The device is unplugged: the bus says so, and its sysfs entry and node go. Its handler stays
  // until the end, as the kernel keeps answering a program that still holds the node open (it
  // may not have closed it yet): with ENODEV, the device being gone.
  void Remove(std::size_t index) {
    EmulatedDevice& device = *devices_.at(index);
    device.Unplug();
    umockdev_testbed_uevent(testbed_.get(), device.SysfsPath().c_str(), "remove");
    umockdev_testbed_remove_device(testbed_.get(), device.SysfsPath().c_str());
  }

  // Lets a process of another user use the bus (its files and the devices' sockets), while the
  // device nodes stay closed to it: root's own processes would pass any permission, so such a
  // process sees what a user without the udev rule sees. Without root, the nodes are made
  // read-only for their owner instead.
  void DenyDeviceAccess() {
    namespace fs = std::filesystem;
    g_autofree gchar* root_text = umockdev_testbed_get_root_dir(testbed_.get());
    const fs::path root = root_text;
    fs::permissions(root, fs::perms::all);
    // Another user's process binds its event socket in the root and talks to the devices'
    // sockets; the device nodes themselves keep root's 0644, which refuses its read-write open.
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root / "ioctl"))
      fs::permissions(entry.path(), fs::perms::all);
    fs::permissions(root / "ioctl", fs::perms::all);
    if (geteuid() != 0)
      for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root / "dev"))
        if (entry.is_regular_file())
          fs::permissions(entry.path(), fs::perms::owner_read | fs::perms::group_read);
  }

 private:
  std::vector<std::unique_ptr<EmulatedDevice>> devices_;
  Ref<UMockdevTestbed> testbed_{umockdev_testbed_new()};  // released before the devices
};

}  // namespace emulated

// The emulated USB bus exists only for processes running under umockdev's preload library. So
// that the test program can be started like any other (by ctest, by hand), it starts itself
// again under the library before any test runs; the programs it spawns inherit it. Should that
// not work, the tests report why and skip. (So one source file of a program includes this header.)
namespace {

// glibc hands the program's arguments to the functions of .init_array.
void RestartUnderPreload(int, char** argv, char**) {
  if (emulated::Available() || std::getenv("RNGACQ_TEST_UMOCKDEV_RESTARTED") != nullptr) return;
  setenv("RNGACQ_TEST_UMOCKDEV_RESTARTED", "1", 1);
  // The preload library goes ahead of any other; a sanitizer build must accept it ahead of its
  // runtime. Leak checking stays as the caller set it: the emulation leaves no leak report of its own.
  const char* preload = std::getenv("LD_PRELOAD");
  const char* sanitizer = std::getenv("ASAN_OPTIONS");
  setenv("LD_PRELOAD", ("libumockdev-preload.so.0:" + std::string(preload ? preload : "")).c_str(), 1);
  setenv("ASAN_OPTIONS", (std::string(sanitizer ? sanitizer : "") + ":verify_asan_link_order=0").c_str(), 1);
  execv("/proc/self/exe", argv);
  // Still here: the tests find no mock environment and say so.
}

[[gnu::used, gnu::section(".init_array")]] void (*restart)(int, char**, char**) = RestartUnderPreload;

}  // namespace
