#include "libusb/emulated_module.h"

#include <linux/ioctl.h>
#include <linux/usb/ch9.h>
#include <linux/usbdevice_fs.h>
#include <umockdev.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <stdexcept>

namespace emulated {
namespace {

constexpr std::size_t kFrame = 16;
constexpr std::uint64_t kBlock = 1984;

// A usbfs URB as the client submitted it, with its data buffer.
struct Urb {
  UMockdevIoctlData* urb = nullptr;
  UMockdevIoctlData* buffer = nullptr;
};

usbdevfs_urb ReadUrb(const Urb& u) {
  usbdevfs_urb urb{};
  std::memcpy(&urb, u.urb->data, sizeof urb);
  return urb;
}

void Release(Urb& u) {
  if (u.buffer != nullptr) g_object_unref(u.buffer);
  if (u.urb != nullptr) g_object_unref(u.urb);
  u = Urb{};
}

void PutBe16(std::uint8_t* p, unsigned value) {
  p[0] = static_cast<std::uint8_t>(value >> 8);
  p[1] = static_cast<std::uint8_t>(value);
}

std::vector<std::uint8_t> StringDescriptor(const std::string& text) {
  std::vector<std::uint8_t> d{0, 3};
  for (char c : text.substr(0, 126)) {
    d.push_back(static_cast<std::uint8_t>(c));
    d.push_back(0);
  }
  d[0] = static_cast<std::uint8_t>(d.size());
  return d;
}

std::string Hex(const std::vector<std::uint8_t>& bytes) {
  std::string text;
  for (std::uint8_t b : bytes) {
    std::array<char, 3> two{};
    std::snprintf(two.data(), two.size(), "%02X", b);
    text += two.data();
  }
  return text;
}

gboolean CompleteWithEagain(gpointer client) {
  umockdev_ioctl_client_complete(static_cast<UMockdevIoctlClient*>(client), -1, EAGAIN);
  return G_SOURCE_REMOVE;
}

class EmulatedDevice final : public Device {
 public:
  explicit EmulatedDevice(const DeviceOptions& options) : options_(options), generator_(options.seed) {
    const std::uint16_t packet = options.high_speed ? 512 : 64;
    device_descriptor_ = {18,
                          1,
                          0x00,
                          0x02,
                          0,
                          0,
                          0,
                          64,
                          static_cast<std::uint8_t>(options.vendor),
                          static_cast<std::uint8_t>(options.vendor >> 8),
                          static_cast<std::uint8_t>(options.product),
                          static_cast<std::uint8_t>(options.product >> 8),
                          0x00,
                          0x01,
                          1,
                          2,
                          3,
                          1};
    // One configuration, one vendor-specific interface with a bulk IN and a bulk OUT endpoint.
    config_descriptor_ = {9, 2, 32, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 2, 0xFF, 0, 0, 0};
    for (std::uint8_t address : {kBulkIn, kBulkOut}) {
      const std::vector<std::uint8_t> endpoint{
          7, 5, address, 2, static_cast<std::uint8_t>(packet), static_cast<std::uint8_t>(packet >> 8), 0};
      config_descriptor_.insert(config_descriptor_.end(), endpoint.begin(), endpoint.end());
    }
    handler_ = static_cast<UMockdevIoctlBase*>(g_object_new(UMOCKDEV_TYPE_IOCTL_BASE, nullptr));
    g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(&EmulatedDevice::OnIoctl), this);
  }

  ~EmulatedDevice() override {
    for (Urb& u : pending_in_) Release(u);
    for (Urb& u : reapable_) Release(u);
    g_object_unref(handler_);
  }

  EmulatedDevice(const EmulatedDevice&) = delete;
  EmulatedDevice& operator=(const EmulatedDevice&) = delete;

  unsigned Requests() const override {
    std::lock_guard lock(mutex_);
    return requests_;
  }
  std::uint8_t LastMode() const override {
    std::lock_guard lock(mutex_);
    return mode_;
  }

  UMockdevIoctlBase* handler() const { return handler_; }

  std::string DeviceNode() const {
    std::array<char, 40> text{};
    std::snprintf(text.data(), text.size(), "/dev/bus/usb/%03u/%03u", options_.bus, options_.address);
    return text.data();
  }

  // The device as umockdev's text format describes it: sysfs attributes and the device node.
  std::string Description() const {
    std::array<char, 512> text{};
    std::vector<std::uint8_t> descriptors = device_descriptor_;
    descriptors.insert(descriptors.end(), config_descriptor_.begin(), config_descriptor_.end());
    std::snprintf(text.data(), text.size(),
                  "P: /devices/pci0000:00/0000:00:14.0/usb%u/%u-%u\n"
                  "N: bus/usb/%03u/%03u\n"
                  "E: DEVNAME=/dev/bus/usb/%03u/%03u\n"
                  "E: DEVTYPE=usb_device\n"
                  "E: SUBSYSTEM=usb\n"
                  "A: busnum=%u\\n\n"
                  "A: devnum=%u\\n\n"
                  "A: speed=%s\\n\n"
                  "A: bConfigurationValue=1\\n\n",
                  options_.bus, options_.bus, options_.address, options_.bus, options_.address, options_.bus,
                  options_.address, options_.bus, options_.address, options_.high_speed ? "480" : "12");
    return std::string(text.data()) + "H: descriptors=" + Hex(descriptors) + "\n";
  }

 private:
  static gboolean OnIoctl(UMockdevIoctlBase* /*handler*/, UMockdevIoctlClient* client, gpointer self) {
    return static_cast<EmulatedDevice*>(self)->Handle(client);
  }

  // Runs in umockdev's worker thread, once per ioctl of a client of this device.
  gboolean Handle(UMockdevIoctlClient* client) {
    const gulong request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    GError* error = nullptr;
    glong result = 0;
    gint errno_value = 0;
    std::unique_lock lock(mutex_);
    switch (request) {
      case USBDEVFS_GET_CAPABILITIES: {
        UMockdevIoctlData* caps = umockdev_ioctl_data_resolve(arg, 0, sizeof(std::uint32_t), &error);
        if (caps != nullptr) {
          const std::uint32_t value =
              USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_ZERO_PACKET;
          std::memcpy(caps->data, &value, sizeof value);
          g_object_unref(caps);
        }
        break;
      }
      case USBDEVFS_CLAIMINTERFACE:
      case USBDEVFS_RELEASEINTERFACE:
      case USBDEVFS_DISCONNECT_CLAIM:
      case USBDEVFS_CLEAR_HALT:
      case USBDEVFS_RESETEP:
      case USBDEVFS_SETINTERFACE:
      case USBDEVFS_RESET:
        if (gone_) {
          result = -1;
          errno_value = ENODEV;
        }
        break;
      case USBDEVFS_GETDRIVER:
      case USBDEVFS_IOCTL:  // no kernel driver to detach or reattach
        result = -1;
        errno_value = ENODATA;
        break;
      case USBDEVFS_SUBMITURB:
        if (gone_) {
          result = -1;
          errno_value = ENODEV;
        } else if (!Submit(arg, &error)) {
          result = -1;
          errno_value = EINVAL;
        }
        break;
      case USBDEVFS_REAPURB:
      case USBDEVFS_REAPURBNDELAY: {
        if (reapable_.empty()) {
          if (gone_) {
            result = -1;
            errno_value = ENODEV;
            break;
          }
          // The device node always polls ready, so libusb asks again at once: answer "nothing
          // yet" a millisecond later rather than let it spin.
          lock.unlock();
          GSource* source = g_timeout_source_new(1);
          g_source_set_callback(source, CompleteWithEagain, g_object_ref(client), g_object_unref);
          g_source_attach(source, g_main_context_get_thread_default());
          g_source_unref(source);
          return TRUE;
        }
        Urb u = reapable_.front();
        reapable_.pop_front();
        UMockdevIoctlData* slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), &error);
        if (slot != nullptr) {
          umockdev_ioctl_data_set_ptr(slot, 0, u.urb);  // hands the finished URB back
          g_object_unref(slot);
        }
        Release(u);
        break;
      }
      case USBDEVFS_DISCARDURB: {
        unsigned long address = 0;
        std::memcpy(&address, arg->data,
                    std::min<std::size_t>(sizeof address, static_cast<std::size_t>(arg->data_len)));
        result = -1;
        errno_value = EINVAL;
        for (auto it = pending_in_.begin(); it != pending_in_.end(); ++it) {
          if (it->urb->client_addr != address) continue;
          Urb u = *it;
          pending_in_.erase(it);
          Finish(u, -ENOENT, 0);
          result = 0;
          errno_value = 0;
          break;
        }
        break;
      }
      default:
        result = -1;
        errno_value = ENOTTY;
        break;
    }
    lock.unlock();
    if (error != nullptr) {
      g_error_free(error);
      result = -1;
      errno_value = EFAULT;
    }
    umockdev_ioctl_client_complete(client, result, errno_value);
    return TRUE;
  }

  void Finish(Urb& u, int status, int length) {
    usbdevfs_urb urb = ReadUrb(u);
    urb.status = status;
    urb.actual_length = length;
    std::memcpy(u.urb->data, &urb, sizeof urb);
    reapable_.push_back(u);
  }

  bool Submit(UMockdevIoctlData* arg, GError** error) {
    Urb u;
    u.urb = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), error);
    if (u.urb == nullptr) return false;
    const usbdevfs_urb urb = ReadUrb(u);
    const auto length = static_cast<std::size_t>(std::max(urb.buffer_length, 0));
    u.buffer = umockdev_ioctl_data_resolve(u.urb, offsetof(usbdevfs_urb, buffer), length, error);
    if (u.buffer == nullptr) {
      Release(u);
      return false;
    }
    std::uint8_t* data = u.buffer->data;
    if (urb.type == USBDEVFS_URB_TYPE_CONTROL && length >= 8) {
      const int n = Control(data, length);
      Finish(u, n < 0 ? n : 0, std::max(n, 0));
    } else if (urb.type == USBDEVFS_URB_TYPE_BULK && urb.endpoint == kBulkOut) {
      Command(data, length);
      if (gone_) {
        Finish(u, -ENODEV, 0);
      } else {
        Finish(u, 0, static_cast<int>(length));
      }
    } else if (urb.type == USBDEVFS_URB_TYPE_BULK && urb.endpoint == kBulkIn) {
      if (stall_next_in_) {
        stall_next_in_ = false;
        Finish(u, -EPIPE, 0);
      } else {
        pending_in_.push_back(u);
      }
    } else {
      Release(u);
      return false;
    }
    Pump();
    return true;
  }

  // Moves answer bytes into the waiting IN URBs; a URB ends with the bytes there are.
  void Pump() {
    while (!answer_.empty() && !pending_in_.empty()) {
      Urb u = pending_in_.front();
      pending_in_.pop_front();
      const usbdevfs_urb urb = ReadUrb(u);
      const std::size_t n =
          std::min(answer_.size(), static_cast<std::size_t>(std::max(urb.buffer_length, 0)));
      std::copy_n(answer_.begin(), n, u.buffer->data);
      answer_.erase(answer_.begin(), answer_.begin() + static_cast<std::ptrdiff_t>(n));
      Finish(u, 0, static_cast<int>(n));
    }
  }

  // The standard requests a host makes of the default pipe; anything else stalls.
  int Control(std::uint8_t* setup, std::size_t size) {
    const std::uint8_t type = setup[0];
    const std::uint8_t request = setup[1];
    const unsigned value = static_cast<unsigned>(setup[2] | (setup[3] << 8));
    const unsigned length = static_cast<unsigned>(setup[6] | (setup[7] << 8));
    std::vector<std::uint8_t> answer;
    if (type == 0x80 && request == USB_REQ_GET_DESCRIPTOR) {
      const unsigned kind = value >> 8;
      const unsigned index = value & 0xFF;
      if (kind == USB_DT_DEVICE) {
        answer = device_descriptor_;
      } else if (kind == USB_DT_CONFIG && index == 0) {
        answer = config_descriptor_;
      } else if (kind == USB_DT_STRING && index == 0) {
        answer = {4, 3, 0x09, 0x04};
      } else if (kind == USB_DT_STRING && index >= 1 && index <= 3) {
        const std::string* texts[] = {&options_.manufacturer, &options_.product_name, &options_.serial};
        answer = StringDescriptor(*texts[index - 1]);
      } else {
        return -EPIPE;
      }
    } else if (type == 0x81 && request == USB_REQ_GET_INTERFACE) {
      answer = {0};
    } else {
      return -EPIPE;
    }
    const std::size_t n = std::min({answer.size(), std::size_t{length}, size - 8});
    std::copy_n(answer.begin(), n, setup + 8);
    return static_cast<int>(n);
  }

  // One command: a whole number of 16-byte frames. The answer holds one frame per command
  // frame, with the data frames behind the answer to the count frame.
  void Command(const std::uint8_t* frames, std::size_t size) {
    if (size == 0 || size % kFrame != 0) return;  // not a command: ignored, as the module does
    std::vector<std::uint8_t> answer;
    bool counted = false;
    const bool faulty = options_.fault != Fault::None && requests_ >= options_.fault_at_request;
    for (std::size_t offset = 0; offset < size; offset += kFrame) {
      const std::uint8_t* f = frames + offset;
      std::array<std::uint8_t, kFrame> reply{};
      const bool c0de = f[0] == 0x13 && f[1] == 0x37 && f[2] == 0xC0 && f[3] == 0xDE;
      const bool da7a = f[0] == 0x13 && f[1] == 0x37 && f[2] == 0xDA && f[3] == 0x7A;
      if (c0de && f[8] == 0x04) {
        mode_ = f[15];
        const std::uint8_t status = faulty && options_.fault == Fault::WrongStatus ? (mode_ ^ 0x0F) : mode_;
        reply[15] = static_cast<std::uint8_t>(0x50 | (status & 0x0F));  // high nibble is not part of it
        answer.insert(answer.end(), reply.begin(), reply.end());
      } else if (da7a) {
        counted = true;
        const unsigned n = static_cast<unsigned>((f[14] << 8) | f[15]);
        PutBe16(reply.data() + 12, requests_);
        PutBe16(reply.data() + 14, n);
        answer.insert(answer.end(), reply.begin(), reply.end());
        for (std::size_t i = 0; i < std::size_t{n} * kFrame; ++i) answer.push_back(generator_.Next());
      } else if (c0de && f[8] == 0x10) {
        reply[15] = faulty && options_.fault == Fault::WrongEndNibble ? 0x39 : 0x3D;
        answer.insert(answer.end(), reply.begin(), reply.end());
      } else {
        answer.insert(answer.end(), reply.begin(), reply.end());
      }
    }
    if (!counted) return;
    ++requests_;
    if (!faulty) {
      answer_.insert(answer_.end(), answer.begin(), answer.end());
      return;
    }
    switch (options_.fault) {
      case Fault::Silent:
        break;
      case Fault::ShortAnswer:
        answer_.insert(answer_.end(), answer.begin(),
                       answer.begin() + static_cast<std::ptrdiff_t>(answer.size() / 2));
        break;
      case Fault::Stall:
        if (pending_in_.empty()) {
          stall_next_in_ = true;
        } else {
          while (!pending_in_.empty()) {
            Finish(pending_in_.front(), -EPIPE, 0);
            pending_in_.pop_front();
          }
        }
        break;
      case Fault::Unplug:
        gone_ = true;
        while (!pending_in_.empty()) {
          Finish(pending_in_.front(), -ENODEV, 0);
          pending_in_.pop_front();
        }
        break;
      default:
        answer_.insert(answer_.end(), answer.begin(), answer.end());
        break;
    }
  }

  const DeviceOptions options_;
  std::vector<std::uint8_t> device_descriptor_;
  std::vector<std::uint8_t> config_descriptor_;
  UMockdevIoctlBase* handler_ = nullptr;

  mutable std::mutex mutex_;
  DataGenerator generator_;
  std::deque<Urb> pending_in_;
  std::deque<Urb> reapable_;
  std::deque<std::uint8_t> answer_;
  bool gone_ = false;
  bool stall_next_in_ = false;
  unsigned requests_ = 0;
  std::uint8_t mode_ = 0;
};

}  // namespace

std::vector<std::uint8_t> ExpectedRecord(std::uint32_t seed, std::uint64_t length) {
  DataGenerator generator(seed);
  std::vector<std::uint8_t> record;
  for (std::uint64_t done = 0; done < length;) {
    const std::uint64_t block = std::min(kBlock, length - done);
    const std::uint64_t frames = (block + kFrame - 1) / kFrame;
    for (std::uint64_t i = 0; i < frames * kFrame; ++i) {
      const std::uint8_t b = generator.Next();
      if (i < block) record.push_back(b);
    }
    done += block;
  }
  return record;
}

struct Testbed::Impl {
  UMockdevTestbed* testbed = nullptr;
  std::vector<std::unique_ptr<EmulatedDevice>> devices;
};

bool PreloadActive() {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line))
    if (line.find("libumockdev-preload") != std::string::npos) return true;
  return false;
}

bool Testbed::Available(std::string& why) {
  if (PreloadActive()) return true;
  why = "this process does not run under umockdev's preload library (libumockdev-preload.so.0)";
  return false;
}

Testbed::Testbed() : impl_(std::make_unique<Impl>()) {
  impl_->testbed = umockdev_testbed_new();
}

Testbed::~Testbed() {
  for (const auto& device : impl_->devices)
    umockdev_testbed_detach_ioctl(impl_->testbed, device->DeviceNode().c_str(), nullptr);
  g_object_unref(impl_->testbed);
  impl_->devices.clear();
}

void Testbed::DenyDeviceAccess() {
  namespace fs = std::filesystem;
  gchar* root_text = umockdev_testbed_get_root_dir(impl_->testbed);
  const fs::path root = root_text;
  g_free(root_text);
  const auto all = fs::perms::all;
  fs::permissions(root, all);
  // Another user's process binds its event socket in the root and talks to the devices'
  // sockets; the device nodes themselves keep root's 0644, which refuses its read-write open.
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root / "ioctl"))
    fs::permissions(entry.path(), all);
  fs::permissions(root / "ioctl", all);
  if (geteuid() != 0) {
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root / "dev"))
      if (entry.is_regular_file())
        fs::permissions(entry.path(), fs::perms::owner_read | fs::perms::group_read);
  }
}

Device& Testbed::Add(const DeviceOptions& options) {
  auto device = std::make_unique<EmulatedDevice>(options);
  GError* error = nullptr;
  if (!umockdev_testbed_add_from_string(impl_->testbed, device->Description().c_str(), &error) ||
      !umockdev_testbed_attach_ioctl(impl_->testbed, device->DeviceNode().c_str(), device->handler(),
                                     &error)) {
    const std::string message = error != nullptr ? error->message : "unknown error";
    if (error != nullptr) g_error_free(error);
    throw std::runtime_error("cannot add the emulated device: " + message);
  }
  impl_->devices.push_back(std::move(device));
  return *impl_->devices.back();
}

}  // namespace emulated
