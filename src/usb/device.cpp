// UsbDevice: enumeration, open, descriptors, configurations, interface entries and endpoints.
#include "usb/device.h"

#include "text/text.h"

#include <algorithm>
#include <cstring>

namespace usb {
namespace {

constexpr std::uint8_t kDescriptorDevice = 1;
constexpr std::uint8_t kDescriptorConfiguration = 2;
constexpr std::uint8_t kDescriptorString = 3;
constexpr std::uint8_t kDescriptorInterface = 4;
constexpr std::uint8_t kDescriptorEndPoint = 5;
constexpr std::uint16_t kEnglishUs = 0x0409;
constexpr std::uint32_t kFirstDirectDriver = 0x01050500;
constexpr std::size_t kHeader = kTransferRequestSize;
// A list that never reports its end still ends the count.
constexpr std::uint32_t kMaxEnumerationIndex = 4096;
constexpr std::size_t kInterfaceDescriptorSize = 9;
constexpr std::size_t kEndPointDescriptorSize = 7;

std::unique_ptr<UsbEndPoint> MakeEndPoint(Driver& driver, Handle handle,
                                          std::span<const std::uint8_t> descriptor) {
  // The whole attributes byte decides: bits above the transfer type mean an unknown kind.
  switch (descriptor[3]) {
    case 0:
      return std::make_unique<UsbControlEndPoint>(driver, handle, descriptor);
    case 1:
      return std::make_unique<UsbIsocEndPoint>(driver, handle, descriptor);
    case 2:
      return std::make_unique<UsbBulkEndPoint>(driver, handle, descriptor);
    case 3:
      return std::make_unique<UsbInterruptEndPoint>(driver, handle, descriptor);
    default:
      return nullptr;
  }
}

}  // namespace

UsbInterface::UsbInterface(Driver& driver, Handle device_handle, const std::uint8_t* config,
                           std::size_t total, std::size_t offset) {
  if (config == nullptr || offset >= total || total - offset < kInterfaceDescriptorSize) return;
  const std::uint8_t* d = config + offset;
  bLength = d[0];
  bDescriptorType = d[1];
  bInterfaceNumber = d[2];
  bAlternateSetting = d[3];
  bNumEndpoints = d[4];
  bInterfaceClass = d[5];
  bInterfaceSubClass = d[6];
  bInterfaceProtocol = d[7];
  iInterface = d[8];
  AltSettingCount = 0;
  SpanLength = bLength;

  std::size_t position = offset + bLength;
  std::size_t passed_over = 0;
  std::size_t slot = 1;
  while (slot <= bNumEndpoints && slot < kEndPointSlots) {
    // Only whole descriptors inside the block are read; a zero length would never move on.
    if (position >= total || total - position < 2) break;
    const std::uint8_t length = config[position];
    if (length == 0 || length > total - position) break;
    const std::uint8_t type = config[position + 1];
    if (type != kDescriptorEndPoint && passed_over == kMaxPassedOver) break;
    SpanLength = static_cast<std::uint16_t>(SpanLength + length);
    if (type == kDescriptorEndPoint) {
      if (length >= kEndPointDescriptorSize) {
        EndPoints[slot] = MakeEndPoint(driver, device_handle, {config + position, kEndPointDescriptorSize});
      }
      ++slot;
    } else {
      ++passed_over;
    }
    position += length;
  }
}

UsbEndPoint* UsbInterface::EndPoint(std::size_t slot) const {
  if (slot == 0) return SharedControl;
  return slot < kEndPointSlots ? EndPoints[slot].get() : nullptr;
}

UsbConfiguration::UsbConfiguration(Driver& driver, Handle device_handle, const std::uint8_t* descriptor,
                                   std::size_t size) {
  if (descriptor == nullptr || size < 9) return;
  bLength = descriptor[0];
  bDescriptorType = descriptor[1];
  wTotalLength = ReadLe16(descriptor + 2);
  bNumInterfaces = descriptor[4];
  bConfigurationValue = descriptor[5];
  iConfiguration = descriptor[6];
  bmAttributes = descriptor[7];
  bMaxPower = descriptor[8];
  InterfaceEntryCount = 0;

  // Neither past the announced total nor past the bytes that were actually read.
  const std::size_t limit = std::min<std::size_t>(wTotalLength, size);
  std::size_t offset = bLength;
  while (offset < limit && InterfaceEntryCount < kMaxInterfaceEntries) {
    if (limit - offset < 2) break;
    const std::uint8_t length = descriptor[offset];
    if (length == 0 || length > limit - offset) break;
    // An interface descriptor too short for its nine fields is passed over like any other.
    if (descriptor[offset + 1] == kDescriptorInterface && length >= kInterfaceDescriptorSize) {
      auto entry = std::make_unique<UsbInterface>(driver, device_handle, descriptor, limit, offset);
      offset += entry->SpanLength;
      Interfaces[InterfaceEntryCount++] = std::move(entry);
    } else {
      offset += length;
    }
  }
  for (std::size_t i = 0; i < InterfaceEntryCount; ++i) {
    std::uint8_t count = 0;
    for (std::size_t j = 0; j < InterfaceEntryCount; ++j) {
      if (Interfaces[j]->bInterfaceNumber == Interfaces[i]->bInterfaceNumber) ++count;
    }
    Interfaces[i]->AltSettingCount = count;
  }
}

UsbDevice::UsbDevice(Driver& driver, WindowHandle notify_window, Guid interface_guid, bool open_now)
    : NotifyWindow(notify_window), InterfaceGuid(interface_guid), driver_(&driver) {
  if (notify_window != nullptr) RegisterInterfaceNotification(notify_window);
  if (open_now) Open(DeviceIndex);
}

void UsbDevice::Destroy() {
  Close();
  if (InterfaceNotification != nullptr) {
    if (!driver_->UnregisterNotification(InterfaceNotification)) {
      throw UsbCloseError("Failed to close the device notification handle.");
    }
    InterfaceNotification = nullptr;
  }
}

UsbDevice::~UsbDevice() {
  try {
    Destroy();
  } catch (...) {
    // A destructor must not throw; an owner who wants the error calls Destroy() first.
  }
}

bool UsbDevice::RegisterInterfaceNotification(WindowHandle window) {
  InterfaceNotification = driver_->RegisterInterfaceNotification(window, InterfaceGuid);
  return InterfaceNotification != nullptr;
}

std::uint8_t UsbDevice::CountDevices() {
  DevicesPresent = 0;
  std::unique_ptr<DeviceList> list = driver_->ListPresent(InterfaceGuid, Selection);
  if (!list) return 0;
  for (std::uint32_t index = 0; index < kMaxEnumerationIndex; ++index) {
    const std::uint32_t error = list->Enumerate(index);
    if (error == kErrorSuccess) {
      // Saturates: 256 devices must not count as none.
      if (DevicesPresent < 0xFF) ++DevicesPresent;
    } else if (error == kErrorNoMoreItems) {
      break;
    }
  }
  return DevicesPresent;
}

bool UsbDevice::OpenHandle(std::uint8_t index) {
  const std::uint8_t count = CountDevices();
  if (count == 0 || index > count - 1) return false;
  Driver& driver = *driver_;
  std::unique_ptr<DeviceList> list = driver.ListPresent(InterfaceGuid, Selection);
  if (!list || list->Enumerate(index) != kErrorSuccess) return false;
  const std::optional<std::string> path = list->DevicePath(index);
  if (!path) return false;
  const std::size_t kept = std::min(path->size(), kDevicePathCapacity);
  std::fill(DevicePath.begin(), DevicePath.end(), '\0');
  std::copy_n(path->begin(), kept, DevicePath.begin());
  LastOpenFailure = {};
  const Handle handle = driver.Open(*path, LastOpenFailure);
  if (handle == kInvalidHandle) return false;
  DeviceHandle = handle;
  return true;
}

bool UsbDevice::Open(std::uint8_t index) {
  if (DeviceHandle != kInvalidHandle) Close();
  if (!OpenHandle(index)) {
    DeviceHandle = kInvalidHandle;
    DeviceIndex = 0;
    return false;
  }
  DeviceIndex = index;
  ReadDeviceDescriptor();
  ReadLanguageId();
  ReadString(ManufacturerString, DeviceDescriptor[14]);
  ReadString(ProductString, DeviceDescriptor[15]);
  ReadString(SerialNumber, DeviceDescriptor[16]);

  std::uint8_t byte = 0;
  InfoByte = SendDriverRequest(kRequestInfoByte, &byte, 1) ? byte : 0;
  InfoBlock1.fill(0);
  SendDriverRequest(kRequestInfoBlock1, InfoBlock1.data(), static_cast<std::uint32_t>(InfoBlock1.size()));
  InfoBlock2.fill(0);
  SendDriverRequest(kRequestInfoBlock2, InfoBlock2.data(), static_cast<std::uint32_t>(InfoBlock2.size()));
  std::array<std::uint8_t, 4> word{};
  DriverVersionCode = SendDriverRequest(kRequestDriverVersion, word.data(), 4) ? ReadLe32(word.data()) : 0;
  word.fill(0);
  InfoWord = SendDriverRequest(kRequestInfoWord, word.data(), 4) ? ReadLe32(word.data()) : 0;
  word.fill(0);
  const std::uint32_t speed = SendDriverRequest(kRequestBusSpeed, word.data(), 4) ? ReadLe32(word.data()) : 0;
  IsHighSpeed = speed == 2;

  const std::size_t configurations = std::min<std::size_t>(bNumConfigurations, kMaxConfigurations);
  for (std::size_t i = 0; i < configurations; ++i) {
    ReadConfigDescriptor(static_cast<std::uint8_t>(i));
    if (!ConfigDescriptors[i].empty()) {
      Configurations[i] = std::make_unique<UsbConfiguration>(
          *driver_, DeviceHandle, ConfigDescriptors[i].data(), ConfigDescriptors[i].size());
    }
  }

  control_ = std::make_unique<UsbControlEndPoint>(*driver_, DeviceHandle, std::span<const std::uint8_t>{});
  control_->bLength = 7;
  control_->bDescriptorType = kDescriptorEndPoint;
  control_->bEndpointAddress = 0;
  control_->bmAttributes = 0;
  control_->EffectiveMaxPacket = bMaxPacketSize0;
  control_->bInterval = 0;
  ControlEndPoint = control_.get();

  if (Configurations[0] && Configurations[0]->Interfaces[0]) {
    SelectConfiguration(0);
    if (InterfaceNotification != nullptr) {
      HandleNotification = driver_->RegisterHandleNotification(NotifyWindow, DeviceHandle);
    }
  }
  // Open even without a usable configuration: the device then simply offers no endpoints.
  return true;
}

void UsbDevice::Close() {
  if (DeviceHandle != kInvalidHandle) {
    Driver& driver = *driver_;
    if (HandleNotification != nullptr && !driver.UnregisterNotification(HandleNotification)) {
      throw UsbCloseError("Failed to close the handle notification handle.");
    }
    if (!driver.Close(DeviceHandle)) throw UsbCloseError("Failed to close handle to driver.");
    DeviceHandle = kInvalidHandle;
    HandleNotification = nullptr;
  }
  DeviceDescriptor.fill(0);
  const std::size_t configurations = std::min<std::size_t>(bNumConfigurations, kMaxConfigurations);
  for (std::size_t i = 0; i < configurations; ++i) {
    if (!ConfigDescriptors[i].empty()) {
      std::vector<std::uint8_t>().swap(ConfigDescriptors[i]);
      Configurations[i].reset();
    }
  }
  ActiveInterface = nullptr;
  ControlEndPoint = nullptr;
  control_.reset();
  IsocInEndPoint = IsocOutEndPoint = nullptr;
  BulkInEndPoint = BulkOutEndPoint = nullptr;
  InterruptInEndPoint = InterruptOutEndPoint = nullptr;
  DevicesPresent = 0;
  bNumConfigurations = 0;
  bNumInterfaces = 0;
  InterfaceEntryCount = 0;
}

std::uint8_t UsbDevice::ActiveEndPointCount() const {
  if (DeviceHandle == kInvalidHandle || ActiveInterface == nullptr) return 0;
  if (ConfigIndex >= kMaxConfigurations || !Configurations[ConfigIndex]) return 0;
  const std::size_t endpoints = std::min<std::size_t>(ActiveInterface->bNumEndpoints, kEndPointSlots - 1);
  return static_cast<std::uint8_t>(endpoints + 1);
}

void UsbDevice::SelectConfiguration(std::uint8_t index) {
  if (index >= kMaxConfigurations || !Configurations[index]) return;
  ConfigIndex = index;
  const UsbConfiguration& configuration = *Configurations[ConfigIndex];
  bConfigurationValue = configuration.bConfigurationValue;
  bmAttributes = configuration.bmAttributes;
  bMaxPower = configuration.bMaxPower;
  bNumInterfaces = configuration.bNumInterfaces;
  InterfaceEntryCount = configuration.InterfaceEntryCount;
  FirstInterfaceNumber = configuration.Interfaces[0] ? configuration.Interfaces[0]->bInterfaceNumber : 0;
  SelectAltSetting(QueryAltSetting());
  if (InterfaceIndex < kMaxInterfaceEntries && configuration.Interfaces[InterfaceIndex]) {
    const UsbInterface& entry = *configuration.Interfaces[InterfaceIndex];
    bInterfaceClass = entry.bInterfaceClass;
    bInterfaceSubClass = entry.bInterfaceSubClass;
    bInterfaceProtocol = entry.bInterfaceProtocol;
  }
}

std::uint8_t UsbDevice::QueryAltSetting() {
  std::uint8_t setting = 0;
  return SendDriverRequest(kRequestAltSetting, &setting, 1) ? setting : 0xFF;
}

void UsbDevice::SelectAltSetting(std::uint8_t alt_setting) {
  if (ConfigIndex >= kMaxConfigurations || !Configurations[ConfigIndex]) return;
  const UsbConfiguration& configuration = *Configurations[ConfigIndex];
  for (std::uint8_t slot = 0; slot < configuration.InterfaceEntryCount; ++slot) {
    const UsbInterface& entry = *configuration.Interfaces[slot];
    if (entry.bAlternateSetting != alt_setting) continue;
    InterfaceIndex = slot;
    bInterfaceClass = entry.bInterfaceClass;
    bInterfaceSubClass = entry.bInterfaceSubClass;
    bInterfaceProtocol = entry.bInterfaceProtocol;
    AssignEndPoints();
    return;
  }
}

void UsbDevice::AssignEndPoints() {
  if (bNumConfigurations == 0 || bNumInterfaces == 0) return;
  if (ConfigIndex >= kMaxConfigurations || !Configurations[ConfigIndex]) return;
  UsbInterface* entry = InterfaceIndex < kMaxInterfaceEntries
                            ? Configurations[ConfigIndex]->Interfaces[InterfaceIndex].get()
                            : nullptr;
  if (entry == nullptr) return;
  ActiveInterface = entry;
  entry->SharedControl = ControlEndPoint;
  IsocInEndPoint = IsocOutEndPoint = nullptr;
  BulkInEndPoint = BulkOutEndPoint = nullptr;
  InterruptInEndPoint = InterruptOutEndPoint = nullptr;
  const std::uint8_t count = ActiveEndPointCount();
  for (std::size_t slot = 1; slot < count; ++slot) {
    UsbEndPoint* endpoint = entry->EndPoint(slot);
    if (endpoint == nullptr) continue;  // an unknown kind made no object
    if (DriverVersionCode < kFirstDirectDriver) endpoint->DirectIo = 0;
    const bool in = (endpoint->bEndpointAddress & 0x80) != 0;
    UsbEndPoint** target = nullptr;
    switch (endpoint->bmAttributes) {
      case 1:
        target = in ? &IsocInEndPoint : &IsocOutEndPoint;
        break;
      case 2:
        target = in ? &BulkInEndPoint : &BulkOutEndPoint;
        break;
      case 3:
        target = in ? &InterruptInEndPoint : &InterruptOutEndPoint;
        break;
      default:
        break;
    }
    if (target != nullptr && *target == nullptr) *target = endpoint;
  }
}

bool UsbDevice::SendDriverRequest(std::uint32_t code, std::uint8_t* buffer, std::uint32_t size) {
  if (DeviceHandle == kInvalidHandle) return false;
  BytesReturned = 0;
  const bool ok = driver_->Request(DeviceHandle, code, buffer, size, buffer, size, BytesReturned);
  return ok && BytesReturned == size;
}

bool UsbDevice::ReadDescriptor(std::uint8_t type, std::uint8_t index, std::uint16_t language,
                               std::uint16_t length, std::vector<std::uint8_t>& request,
                               bool both_status_words) {
  request.assign(kHeader + length, 0);
  TransferRequest header;
  header.bmRequestType = 0x80;
  header.bRequest = 6;
  header.wValue = static_cast<std::uint16_t>(type << 8 | index);
  header.wIndex = language;
  header.wLength = length;
  header.TimeoutSeconds = 5;
  header.DataOffset = static_cast<std::uint32_t>(kHeader);
  header.DataLength = length;
  EncodeTransferRequest(header, request);
  const bool ok =
      SendDriverRequest(kRequestControlTransfer, request.data(), static_cast<std::uint32_t>(request.size()));
  const TransferRequest answer = DecodeTransferRequest(request);
  TransferStatus = answer.TransferStatus;
  if (both_status_words) RequestStatus = answer.RequestStatus;
  return ok;
}

void UsbDevice::ReadDeviceDescriptor() {
  DeviceDescriptor.fill(0);
  std::vector<std::uint8_t> request;
  if (!ReadDescriptor(kDescriptorDevice, 0, 0, 18, request, true)) return;
  std::copy_n(request.begin() + kHeader, DeviceDescriptor.size(), DeviceDescriptor.begin());
  const std::uint8_t* d = DeviceDescriptor.data();
  bcdUSB = ReadLe16(d + 2);
  bDeviceClass = d[4];
  bDeviceSubClass = d[5];
  bDeviceProtocol = d[6];
  bMaxPacketSize0 = d[7];
  idVendor = ReadLe16(d + 8);
  idProduct = ReadLe16(d + 10);
  bcdDevice = ReadLe16(d + 12);
  bNumConfigurations = d[17];
}

void UsbDevice::ReadLanguageId() {
  std::vector<std::uint8_t> request;
  if (!ReadDescriptor(kDescriptorString, 0, 0, 2, request, false)) return;
  const std::uint8_t table_length = request[kHeader];
  const int entries = (table_length - 2) / 2;
  if (!ReadDescriptor(kDescriptorString, 0, 0, table_length, request, false)) return;
  LanguageId = 0;
  for (int i = 0; i < entries; ++i) {
    const std::uint16_t language = ReadLe16(request.data() + kHeader + 2 + 2 * static_cast<std::size_t>(i));
    if (i == 0) LanguageId = language;
    if (language == kEnglishUs) LanguageId = kEnglishUs;
  }
}

void UsbDevice::ReadString(std::array<char16_t, kStringUnits>& destination, std::uint8_t index) {
  std::vector<std::uint8_t> request;
  if (!ReadDescriptor(kDescriptorString, index, LanguageId, 2, request, true)) return;
  const std::uint8_t length = request[kHeader];
  if (!ReadDescriptor(kDescriptorString, index, LanguageId, length, request, true)) return;
  if (length < 2) return;
  const std::uint8_t answer_length = request[kHeader];
  if (answer_length <= 2 || request[kHeader + 1] != kDescriptorString) return;
  // Only the bytes actually read; the last unit of the area always stays the terminator.
  const std::size_t bytes = std::min<std::size_t>(
      {std::size_t{answer_length} - 2, std::size_t{length} - 2, (kStringUnits - 1) * 2});
  destination.fill(0);
  const std::uint8_t* text = request.data() + kHeader + 2;
  for (std::size_t i = 0; i < bytes; ++i) {
    const auto shift = (i % 2) * 8;
    destination[i / 2] = static_cast<char16_t>(destination[i / 2] | (text[i] << shift));
  }
}

void UsbDevice::ReadConfigDescriptor(std::uint8_t index) {
  std::vector<std::uint8_t> request;
  if (!ReadDescriptor(kDescriptorConfiguration, index, 0, 9, request, true)) return;
  const std::uint16_t total = ReadLe16(request.data() + kHeader + 2);
  if (!ReadDescriptor(kDescriptorConfiguration, index, 0, total, request, true)) return;
  ConfigDescriptors[index].assign(request.begin() + kHeader, request.end());
}

std::string Utf16ToUtf8(const char16_t* text, std::size_t capacity) {
  if (text == nullptr) return {};
  std::size_t length = 0;
  while (length < capacity && text[length] != 0) ++length;
  return text::Utf16ToUtf8({text, length});
}

}  // namespace usb
