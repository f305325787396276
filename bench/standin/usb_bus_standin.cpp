// The stand-in bus. This program's definitions of ioctl, read, lseek and poll take the place of
// the C library's for every caller in the process, libusb's included; calls about any other
// descriptor go on to the C library's own.
#undef _FORTIFY_SOURCE  // a fortified read would be an inline function of the same name
#include "usb_bus_standin.h"

#include <dlfcn.h>
#include <linux/usb/ch9.h>
#include <linux/usbdevice_fs.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string_view>
#include <utility>
#include <vector>

#include "drivers/sim/module_model.h"

namespace {

template <typename Function>
Function Next(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

std::vector<std::uint8_t> StringDescriptor(std::string_view text) {
  std::vector<std::uint8_t> descriptor{static_cast<std::uint8_t>(2 + 2 * text.size()), USB_DT_STRING};
  for (const char c : text) descriptor.insert(descriptor.end(), {static_cast<std::uint8_t>(c), 0});
  return descriptor;
}

struct Bus {
  std::mutex mutex;
  // The read end of a pipe, never reported writable by the kernel; read by every interposed call,
  // in libusb's own threads too.
  std::atomic<int> device{-1};
  int other_end = -1;
  std::unique_ptr<sim::ModuleModel> model;
  std::size_t read_at = 0;
  usbdevfs_urb* waiting_in = nullptr;
  std::deque<usbdevfs_urb*> done;
  // The device descriptor and the one configuration: a vendor-specific interface with a bulk IN
  // and a bulk OUT endpoint of 512 bytes (high speed).
  const std::vector<std::uint8_t> descriptors{
      18, 1, 0x00, 0x02, 0xFF, 0, 0,    64,   0x34, 0x12, 0x78, 0x56, 0x00, 0x01, 1,    2,    3,
      1,  9, 2,    32,   0,    1, 1,    0,    0x80, 50,   9,    4,    0,    0,    2,    0xFF, 0,
      0,  0, 7,    5,    0x81, 2, 0x00, 0x02, 0,    7,    5,    0x01, 2,    0x00, 0x02, 0};

  void Finish(usbdevfs_urb* urb, int status, int actual) {
    urb->status = status;
    urb->actual_length = actual;
    done.push_back(urb);
  }

  // A waiting IN transfer takes the answer as soon as there is one.
  void AnswerIn() {
    if (waiting_in == nullptr || model->Pending() == 0) return;
    const std::size_t n = model->Take(static_cast<std::uint8_t*>(waiting_in->buffer),
                                      static_cast<std::size_t>(waiting_in->buffer_length));
    Finish(std::exchange(waiting_in, nullptr), 0, static_cast<int>(n));
  }

  // The standard requests libusb and the provider make; the bytes answered, or -1 (a stall).
  int Control(const std::uint8_t* setup, std::uint8_t* data) const {
    const std::uint8_t request = setup[1];
    const auto value = static_cast<std::uint16_t>(setup[2] | setup[3] << 8);
    const auto length = static_cast<std::size_t>(setup[6] | setup[7] << 8);
    std::vector<std::uint8_t> answer;
    if (request == USB_REQ_GET_CONFIGURATION) {
      answer = {1};
    } else if (request == USB_REQ_GET_INTERFACE) {
      answer = {0};
    } else if (request == USB_REQ_GET_DESCRIPTOR && value >> 8 == USB_DT_STRING) {
      switch (value & 0xFF) {
        case 0:
          answer = {4, USB_DT_STRING, 0x09, 0x04};
          break;
        case 2:
          answer = StringDescriptor("Stand-in RNG module");
          break;
        case 3:
          answer = StringDescriptor("STANDIN-0001");
          break;
        default:
          return -1;
      }
    } else {
      return -1;
    }
    const std::size_t n = std::min(length, answer.size());
    std::memcpy(data, answer.data(), n);
    return static_cast<int>(n);
  }

  int Submit(usbdevfs_urb* urb) {
    auto* buffer = static_cast<std::uint8_t*>(urb->buffer);
    if (urb->type == USBDEVFS_URB_TYPE_CONTROL) {
      const int n = Control(buffer, buffer + 8);
      Finish(urb, n < 0 ? -EPIPE : 0, std::max(n, 0));
    } else if (urb->endpoint == 0x01) {
      model->Feed(buffer, static_cast<std::size_t>(urb->buffer_length));
      Finish(urb, 0, urb->buffer_length);
      AnswerIn();
    } else if (urb->endpoint == 0x81 && waiting_in == nullptr) {
      waiting_in = urb;
      AnswerIn();
    } else {
      errno = EINVAL;
      return -1;
    }
    return 0;
  }

  int Ioctl(unsigned long request, void* argument) {
    const std::lock_guard lock(mutex);
    switch (request) {
      case USBDEVFS_SUBMITURB:
        return Submit(static_cast<usbdevfs_urb*>(argument));
      case USBDEVFS_REAPURBNDELAY:
        if (done.empty()) {
          errno = EAGAIN;
          return -1;
        }
        *static_cast<void**>(argument) = done.front();
        done.pop_front();
        return 0;
      case USBDEVFS_DISCARDURB:
        if (argument != waiting_in) {
          errno = EINVAL;
          return -1;
        }
        Finish(std::exchange(waiting_in, nullptr), -ENOENT, 0);
        return 0;
      case USBDEVFS_CONTROL: {
        auto* control = static_cast<usbdevfs_ctrltransfer*>(argument);
        const std::uint8_t setup[8] = {control->bRequestType,
                                       control->bRequest,
                                       static_cast<std::uint8_t>(control->wValue),
                                       static_cast<std::uint8_t>(control->wValue >> 8),
                                       static_cast<std::uint8_t>(control->wIndex),
                                       static_cast<std::uint8_t>(control->wIndex >> 8),
                                       static_cast<std::uint8_t>(control->wLength),
                                       static_cast<std::uint8_t>(control->wLength >> 8)};
        const int n = Control(setup, static_cast<std::uint8_t*>(control->data));
        if (n < 0) errno = EPIPE;
        return n;
      }
      case USBDEVFS_GET_SPEED:
        return USB_SPEED_HIGH;
      case USBDEVFS_CONNECTINFO:
        static_cast<usbdevfs_connectinfo*>(argument)->devnum = 2;
        static_cast<usbdevfs_connectinfo*>(argument)->slow = 0;
        return 0;
      case USBDEVFS_GET_CAPABILITIES:
        *static_cast<std::uint32_t*>(argument) =
            USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM;
        return 0;
      case USBDEVFS_DISCONNECT_CLAIM:
      case USBDEVFS_CLAIMINTERFACE:
      case USBDEVFS_RELEASEINTERFACE:
        return 0;
      default:  // no kernel driver to detach or attach
        errno = ENODATA;
        return -1;
    }
  }
};

Bus& TheBus() {
  static Bus bus;
  return bus;
}

}  // namespace

namespace standin {

int PlugIn(std::uint64_t seed) {
  Bus& bus = TheBus();
  int ends[2];
  if (pipe(ends) != 0) return -1;
  const std::lock_guard lock(bus.mutex);
  bus.other_end = ends[1];
  bus.model = std::make_unique<sim::ModuleModel>(seed);
  bus.read_at = 0;
  bus.waiting_in = nullptr;
  bus.done.clear();
  bus.device = ends[0];
  return ends[0];
}

void Unplug() {
  Bus& bus = TheBus();
  const std::lock_guard lock(bus.mutex);
  const int device = bus.device.exchange(-1);
  close(device);
  close(bus.other_end);
  bus.other_end = -1;
}

}  // namespace standin

extern "C" {

int ioctl(int fd, unsigned long request, ...) noexcept {
  std::va_list arguments;
  va_start(arguments, request);
  void* argument = va_arg(arguments, void*);
  va_end(arguments);
  if (fd >= 0 && fd == TheBus().device) return TheBus().Ioctl(request, argument);
  static const auto next = Next<int (*)(int, unsigned long, void*)>("ioctl");
  return next(fd, request, argument);
}

ssize_t read(int fd, void* buffer, size_t size) {
  Bus& bus = TheBus();
  if (fd >= 0 && fd == bus.device) {
    const std::lock_guard lock(bus.mutex);
    const std::size_t n =
        bus.read_at < bus.descriptors.size() ? std::min(size, bus.descriptors.size() - bus.read_at) : 0;
    std::memcpy(buffer, bus.descriptors.data() + bus.read_at, n);
    bus.read_at += n;
    return static_cast<ssize_t>(n);
  }
  static const auto next = Next<ssize_t (*)(int, void*, size_t)>("read");
  return next(fd, buffer, size);
}

off_t lseek(int fd, off_t offset, int whence) noexcept {
  Bus& bus = TheBus();
  if (fd >= 0 && fd == bus.device && whence == SEEK_SET && offset >= 0) {
    const std::lock_guard lock(bus.mutex);
    bus.read_at = static_cast<std::size_t>(offset);
    return offset;
  }
  static const auto next = Next<off_t (*)(int, off_t, int) noexcept>("lseek");
  return next(fd, offset, whence);
}

// The device is writable (libusb asks for POLLOUT) exactly while a transfer is done; then no
// other descriptor is looked at, so the wait costs no system call.
int poll(struct pollfd* fds, nfds_t count, int timeout) {
  Bus& bus = TheBus();
  if (const int device = bus.device; device >= 0) {
    for (nfds_t i = 0; i < count; ++i) {
      if (fds[i].fd != device) continue;
      const std::lock_guard lock(bus.mutex);
      if (bus.done.empty()) break;
      for (nfds_t j = 0; j < count; ++j) fds[j].revents = 0;
      fds[i].revents = POLLOUT;
      return 1;
    }
  }
  static const auto next = Next<int (*)(struct pollfd*, nfds_t, int)>("poll");
  return next(fds, count, timeout);
}

}  // extern "C"
