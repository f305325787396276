// The C interface over the core: module objects as opaque handles, errors as negative values.
#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>
#include <stdexcept>

#include "core/library_provider.h"
#include "core/module.h"
#include "rngacq/rngacq.h"
#include "text/text.h"

struct rngacq_module {
  std::unique_ptr<core::Module> module;
};

namespace {

int Code(core::Error error) {
  return static_cast<int>(error);
}

template <std::size_t N>
void CopyText(char (&to)[N], const std::string& from) {
  // Cut at a whole character: a caller may show the field as UTF-8.
  const std::string_view kept = text::CutUtf8(from, N - 1);
  std::memcpy(to, kept.data(), kept.size());
  to[kept.size()] = '\0';
}

void Fill(rngacq_module_info& info, const core::ModuleInfo& from) {
  info = rngacq_module_info{};
  info.vendor_id = from.id.vendor;
  info.product_id = from.id.product;
  info.high_speed = from.high_speed ? 1 : 0;
  CopyText(info.serial, from.serial);
  CopyText(info.product, from.product);
  CopyText(info.driver_version, core::VersionText(from.driver_version));
}

// No exception may cross into C: anything unexpected becomes `unexpected`. A malformed
// configuration of the backend (the simulated module's RNGACQ_SIM) is an invalid argument.
template <typename Body>
int Guarded(int unexpected, Body body) noexcept {
  try {
    return static_cast<int>(body());
  } catch (const std::bad_alloc&) {
    return RNGACQ_ERROR_NO_MEMORY;
  } catch (const std::invalid_argument&) {
    return RNGACQ_ERROR_INVALID_ARGUMENT;
  } catch (...) {
    return unexpected;
  }
}

struct ProviderSlot {
  std::mutex mutex;
  std::unique_ptr<usb::access::Provider> own;
  usb::access::Provider* installed = nullptr;
};

ProviderSlot& Slot() {
  static ProviderSlot slot;
  return slot;
}

}  // namespace

namespace core {

usb::access::Provider& LibraryProvider() {
  ProviderSlot& slot = Slot();
  std::lock_guard lock(slot.mutex);
  if (slot.installed != nullptr) return *slot.installed;
  if (!slot.own) slot.own = usb::access::MakeDefaultProvider();
  return *slot.own;
}

void SetLibraryProvider(usb::access::Provider* provider) {
  ProviderSlot& slot = Slot();
  std::lock_guard lock(slot.mutex);
  slot.installed = provider;
}

}  // namespace core

extern "C" {

int rngacq_list(rngacq_module_info* infos, size_t capacity, size_t* count) {
  if (count == nullptr || (infos == nullptr && capacity != 0)) return RNGACQ_ERROR_INVALID_ARGUMENT;
  return Guarded(RNGACQ_ERROR_OPEN_FAILED, [&] {
    std::vector<core::ModuleInfo> modules;
    const core::Error error = core::ListModules(core::LibraryProvider(), modules);
    *count = modules.size();
    for (std::size_t i = 0; i < modules.size() && i < capacity; ++i) Fill(infos[i], modules[i]);
    return Code(error);
  });
}

int rngacq_open(const char* selector, rngacq_module** module) {
  if (module == nullptr) return RNGACQ_ERROR_INVALID_ARGUMENT;
  *module = nullptr;
  const std::optional<core::Selector> parsed = core::ParseSelector(selector == nullptr ? "" : selector);
  if (!parsed) return RNGACQ_ERROR_INVALID_ARGUMENT;
  return Guarded(RNGACQ_ERROR_OPEN_FAILED, [&]() -> int {
    auto handle = std::make_unique<rngacq_module>();
    core::OpenReport report;
    const core::Error error = core::Module::Open(core::LibraryProvider(), *parsed, handle->module, report);
    if (error != core::Error::None) return Code(error);
    *module = handle.release();  // owned by the caller until rngacq_close
    return RNGACQ_OK;
  });
}

int rngacq_info(const rngacq_module* module, rngacq_module_info* info) {
  if (module == nullptr || info == nullptr || !module->module) return RNGACQ_ERROR_INVALID_ARGUMENT;
  Fill(*info, module->module->Info());
  return RNGACQ_OK;
}

int rngacq_set_mode(rngacq_module* module, int mode) {
  if (module == nullptr || !module->module || (mode != RNGACQ_MODE_RND && mode != RNGACQ_MODE_RAW))
    return RNGACQ_ERROR_INVALID_ARGUMENT;
  return Code(module->module->SetMode(static_cast<std::uint8_t>(mode)));
}

int rngacq_read(rngacq_module* module, void* buffer, size_t length, size_t* done) {
  if (done != nullptr) *done = 0;
  if (module == nullptr || !module->module || done == nullptr || (buffer == nullptr && length != 0))
    return RNGACQ_ERROR_INVALID_ARGUMENT;
  return Guarded(RNGACQ_ERROR_INTERNAL, [&] {
    return Code(module->module->Read(static_cast<std::uint8_t*>(buffer), length, *done));
  });
}

int rngacq_close(rngacq_module* module) {
  const std::unique_ptr<rngacq_module> owned(module);
  if (!owned || !owned->module) return RNGACQ_OK;
  return Guarded(RNGACQ_ERROR_INTERNAL, [&] { return Code(owned->module->Close()); });
}

const char* rngacq_strerror(int error) {
  return core::ErrorText(error);
}

const char* rngacq_version(void) {
  return RNGACQ_VERSION;
}

}  // extern "C"
