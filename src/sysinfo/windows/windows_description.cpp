// Gathers the facts of the Windows description line from the system's version queries.
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0600  // GetProductInfo and GetNativeSystemInfo exist from here on
#endif
#include <cwchar>
#include <string>

#include "platform/windows/win32.h"
#include "sysinfo/system_description.h"

namespace sysinfo {

namespace {

constexpr int kServerR2Metric = 89;

std::string ToUtf8(const wchar_t* text, std::size_t capacity) {
  const std::size_t length = wcsnlen(text, capacity);
  if (length == 0) return {};
  const int size = static_cast<int>(length);
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, size, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return {};
  std::string utf8(static_cast<std::size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, size, utf8.data(), bytes, nullptr, nullptr);
  return utf8;
}

// Looks a kernel32 export up by name: older systems lack some of them.
template <typename Function>
Function Kernel32Export(const char* name) {
  const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  if (kernel == nullptr) return nullptr;
  // Through the generic function pointer type, which every function pointer converts to.
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(kernel, name)));
}

bool QueryVersionFacts(VersionFacts& facts) {
  OSVERSIONINFOEXW info{};
  info.dwOSVersionInfoSize = sizeof info;
#ifdef _MSC_VER
#pragma warning(push)
#pragma warning(disable : 4996)  // the version query is what the description is about
#endif
  if (!GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&info))) return false;
#ifdef _MSC_VER
#pragma warning(pop)
#endif
  facts.MajorVersion = info.dwMajorVersion;
  facts.MinorVersion = info.dwMinorVersion;
  facts.BuildNumber = info.dwBuildNumber;
  facts.PlatformId = info.dwPlatformId;
  facts.ServicePack = ToUtf8(info.szCSDVersion, sizeof info.szCSDVersion / sizeof info.szCSDVersion[0]);
  facts.SuiteMask = info.wSuiteMask;
  facts.ProductType = info.wProductType;

  // The native query tells a 64-bit machine apart also in a 32-bit process.
  SYSTEM_INFO system{};
  using NativeSystemInfo = void(WINAPI*)(LPSYSTEM_INFO);
  if (const auto native = Kernel32Export<NativeSystemInfo>("GetNativeSystemInfo")) {
    native(&system);
  } else {
    GetSystemInfo(&system);
  }
  facts.ProcessorArchitecture = system.wProcessorArchitecture;

  if (facts.MajorVersion >= 6) {
    using ProductInfo = BOOL(WINAPI*)(DWORD, DWORD, DWORD, DWORD, PDWORD);
    DWORD edition = 0;
    if (const auto product = Kernel32Export<ProductInfo>("GetProductInfo")) {
      product(facts.MajorVersion, facts.MinorVersion, 0, 0, &edition);
    }
    facts.EditionCode = edition;
  }
  if (facts.MajorVersion == 5 && facts.MinorVersion == 2) {
    facts.ServerR2 = GetSystemMetrics(kServerR2Metric) != 0;
  }
  return true;
}

}  // namespace

int PrintSystemDescription() {
  VersionFacts facts;
  if (!QueryVersionFacts(facts)) return kVersionQueryFailed;
  return PrintComposed(ComposeDescription(facts));
}

}  // namespace sysinfo
