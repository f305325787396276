// UsbDevice: one USB device reached through the driver's device interface class. It counts the
// present devices, opens one by index, reads its descriptors, strings and driver facts, builds
// configurations, interface entries and endpoint objects, and names the first endpoint of each
// kind and direction of the active interface entry.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "usb/driver.h"
#include "usb/endpoint.h"

namespace usb {

// Limits of the model.
inline constexpr std::size_t kMaxConfigurations = 2;
inline constexpr std::size_t kMaxInterfaceEntries = 8;
inline constexpr std::size_t kEndPointSlots = 16;  // slot 0 is the shared control endpoint
inline constexpr std::size_t kMaxPassedOver = 11;
inline constexpr std::size_t kDevicePathCapacity = 255;
inline constexpr std::size_t kStringUnits = 128;

class UsbInterface {
 public:
  // Builds the entry from the interface descriptor at `offset` of `config` (bounded by `total`).
  UsbInterface(Driver& driver, Handle device_handle, const std::uint8_t* config, std::size_t total,
               std::size_t offset);

  std::array<std::unique_ptr<UsbEndPoint>, kEndPointSlots> EndPoints;  // slot 0 not owned: see Control
  UsbEndPoint* SharedControl = nullptr;                                // slot 0 once active
  std::uint8_t bLength = 0, bDescriptorType = 0, bInterfaceNumber = 0, bAlternateSetting = 0,
               bNumEndpoints = 0, bInterfaceClass = 0, bInterfaceSubClass = 0, bInterfaceProtocol = 0,
               iInterface = 0;
  std::uint8_t AltSettingCount = 0;
  std::uint16_t SpanLength = 0;

  UsbEndPoint* EndPoint(std::size_t slot) const;
};

class UsbConfiguration {
 public:
  UsbConfiguration(Driver& driver, Handle device_handle, const std::uint8_t* descriptor, std::size_t size);

  std::array<std::unique_ptr<UsbInterface>, kMaxInterfaceEntries> Interfaces;
  std::uint8_t bLength = 0, bDescriptorType = 0;
  std::uint16_t wTotalLength = 0;
  std::uint8_t bNumInterfaces = 0, bConfigurationValue = 0, iConfiguration = 0, bmAttributes = 0,
               bMaxPower = 0;
  std::uint8_t InterfaceEntryCount = 0;
};

class UsbDevice {
 public:
  // Every request goes to `driver`, which outlives the device.
  UsbDevice(Driver& driver, WindowHandle notify_window, Guid interface_guid, bool open_now);
  // The destruction steps (Close, then dropping the interface-class registration). They may
  // raise UsbCloseError, so an owner calls Destroy() before letting the object go; the
  // destructor repeats them for a device not destroyed yet and swallows a failure there.
  void Destroy();
  ~UsbDevice();
  UsbDevice(const UsbDevice&) = delete;
  UsbDevice& operator=(const UsbDevice&) = delete;

  std::uint8_t CountDevices();
  // True when the device at `index` is open (DeviceHandle valid), with or without a usable
  // configuration; false with LastOpenFailure saying why when it could not be opened.
  bool Open(std::uint8_t index);
  void Close();
  std::array<std::uint8_t, 18> CopyDeviceDescriptor() const { return DeviceDescriptor; }
  std::uint8_t ActiveEndPointCount() const;
  void SelectConfiguration(std::uint8_t index);
  void SelectAltSetting(std::uint8_t alt_setting);

  UsbInterface* ActiveInterface = nullptr;
  UsbControlEndPoint* ControlEndPoint = nullptr;
  UsbEndPoint* IsocInEndPoint = nullptr;
  UsbEndPoint* IsocOutEndPoint = nullptr;
  UsbEndPoint* BulkInEndPoint = nullptr;
  UsbEndPoint* BulkOutEndPoint = nullptr;
  UsbEndPoint* InterruptInEndPoint = nullptr;
  UsbEndPoint* InterruptOutEndPoint = nullptr;
  std::uint16_t LanguageId = 0;
  std::uint32_t TransferStatus = 0;
  std::uint32_t RequestStatus = 0;
  std::uint32_t DriverVersionCode = 0;
  std::uint32_t InfoWord = 0;
  std::array<std::uint8_t, 256> InfoBlock1{};
  std::array<std::uint8_t, 256> InfoBlock2{};
  std::array<char16_t, kStringUnits> ManufacturerString{};
  std::array<char16_t, kStringUnits> ProductString{};
  std::array<char16_t, kStringUnits> SerialNumber{};
  std::array<char, kDevicePathCapacity + 1> DevicePath{};
  std::uint16_t bcdUSB = 0, idVendor = 0, idProduct = 0;
  std::uint8_t InfoByte = 0;
  std::uint8_t bDeviceClass = 0, bDeviceSubClass = 0, bDeviceProtocol = 0, bMaxPacketSize0 = 0;
  std::uint16_t bcdDevice = 0;
  std::uint8_t bConfigurationValue = 0, bmAttributes = 0, bMaxPower = 0;
  std::uint8_t bInterfaceClass = 0, bInterfaceSubClass = 0, bInterfaceProtocol = 0;
  bool IsHighSpeed = false;
  std::uint32_t BytesReturned = 0;
  std::array<std::uint8_t, 18> DeviceDescriptor{};
  std::array<std::vector<std::uint8_t>, kMaxConfigurations> ConfigDescriptors;  // empty: none
  std::array<std::unique_ptr<UsbConfiguration>, kMaxConfigurations> Configurations;
  WindowHandle NotifyWindow = nullptr;
  Handle DeviceHandle = kInvalidHandle;
  NotificationHandle InterfaceNotification = nullptr;
  NotificationHandle HandleNotification = nullptr;
  Guid InterfaceGuid;
  // The identifiers to list instead of the backend's own module table (empty: the table).
  std::vector<UsbId> Selection;
  OpenFailure LastOpenFailure;
  std::uint8_t DevicesPresent = 0;
  std::uint8_t bNumInterfaces = 0;
  std::uint8_t InterfaceEntryCount = 0;
  std::uint8_t bNumConfigurations = 0;
  std::uint8_t DeviceIndex = 0;
  std::uint8_t ConfigIndex = 0;
  std::uint8_t FirstInterfaceNumber = 0;
  std::uint8_t InterfaceIndex = 0;

 private:
  bool OpenHandle(std::uint8_t index);
  void ReadDeviceDescriptor();
  void ReadLanguageId();
  void ReadString(std::array<char16_t, kStringUnits>& destination, std::uint8_t index);
  void ReadConfigDescriptor(std::uint8_t index);
  std::uint8_t QueryAltSetting();
  void AssignEndPoints();
  bool RegisterInterfaceNotification(WindowHandle window);
  bool SendDriverRequest(std::uint32_t code, std::uint8_t* buffer, std::uint32_t size);
  // One GET_DESCRIPTOR read into `request` (header plus `length` data bytes); copies the answer's
  // status words (RequestStatus only when `both_status_words`).
  bool ReadDescriptor(std::uint8_t type, std::uint8_t index, std::uint16_t language, std::uint16_t length,
                      std::vector<std::uint8_t>& request, bool both_status_words);
  std::unique_ptr<UsbControlEndPoint> control_;  // owned here; entries borrow it in slot 0
  Driver* driver_;
};

// The UTF-16 string areas as UTF-8 text, up to their terminating zero.
std::string Utf16ToUtf8(const char16_t* text, std::size_t capacity);

}  // namespace usb
