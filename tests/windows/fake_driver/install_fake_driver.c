/* Installs the fake module driver in the current Wine prefix (or Windows test machine) unless it
 * is there already, then waits until its control device and all its modules are up. Run again,
 * it only waits. Exit 0 when the driver answers, 1 otherwise, with the reason on stderr. */
#include <stdio.h>
#include <string.h>
#include <windows.h>
/* After <windows.h>: */
#include <newdev.h>
#include <setupapi.h>

#include "fake_control.h"

static const char kHardwareId[] = "root\\rngacq_fake\0";
/* The setup class the INF names: System. */
static const GUID kSystemClass = {
    0x4d36e97d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

static HANDLE OpenControl(void) {
  return CreateFileA(FAKE_CONTROL_PATH, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
}

/* True when the control device answers and every module's device has started. */
static BOOL Ready(void) {
  unsigned char state[FAKE_STATE_RECORD_SIZE];
  DWORD returned = 0;
  const HANDLE control = OpenControl();
  if (control == INVALID_HANDLE_VALUE) return FALSE;
  const BOOL ok = DeviceIoControl(control, FAKE_IOCTL_QUERY, NULL, 0, state, sizeof state, &returned, NULL);
  CloseHandle(control);
  if (!ok || returned != sizeof state) return FALSE;
  for (int i = 0; i < FAKE_SLOTS; ++i)
    if (state[8 + i * FAKE_STATE_SIZE + FAKE_STATE_STARTED] == 0) return FALSE;
  return TRUE;
}

static BOOL WaitReady(DWORD ms) {
  for (DWORD waited = 0; waited < ms; waited += 100) {
    if (Ready()) return TRUE;
    Sleep(100);
  }
  return Ready();
}

/* Whether the root device was created by an earlier run. */
static BOOL Installed(void) {
  const HDEVINFO set = SetupDiGetClassDevsA(NULL, "ROOT", NULL, DIGCF_ALLCLASSES);
  BOOL found = FALSE;
  if (set == INVALID_HANDLE_VALUE) return FALSE;
  SP_DEVINFO_DATA info;
  memset(&info, 0, sizeof info);
  info.cbSize = sizeof info;
  for (DWORD i = 0; !found && SetupDiEnumDeviceInfo(set, i, &info); ++i) {
    char ids[256] = {0};
    if (SetupDiGetDeviceRegistryPropertyA(set, &info, SPDRP_HARDWAREID, NULL, (BYTE*)ids, sizeof ids - 2,
                                          NULL))
      found = _stricmp(ids, kHardwareId) == 0;
  }
  SetupDiDestroyDeviceInfoList(set);
  return found;
}

static BOOL Fail(const char* what) {
  fprintf(stderr, "install_fake_driver: %s failed (system error %lu)\n", what, GetLastError());
  return FALSE;
}

static BOOL Install(const char* inf) {
  const HDEVINFO set = SetupDiCreateDeviceInfoList(&kSystemClass, NULL);
  if (set == INVALID_HANDLE_VALUE) return Fail("SetupDiCreateDeviceInfoList");
  SP_DEVINFO_DATA info;
  memset(&info, 0, sizeof info);
  info.cbSize = sizeof info;
  BOOL ok = SetupDiCreateDeviceInfoA(set, "ROOT\\RNGACQ_FAKE\\0000", &kSystemClass, NULL, NULL, 0, &info)
                ? TRUE
                : Fail("SetupDiCreateDeviceInfoA");
  ok = ok && (SetupDiSetDeviceRegistryPropertyA(set, &info, SPDRP_HARDWAREID, (const BYTE*)kHardwareId,
                                                sizeof kHardwareId)
                  ? TRUE
                  : Fail("SetupDiSetDeviceRegistryPropertyA"));
  ok = ok && (SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &info) ? TRUE : Fail("DIF_REGISTERDEVICE"));
  SetupDiDestroyDeviceInfoList(set);
  BOOL reboot = FALSE;
  return ok && (UpdateDriverForPlugAndPlayDevicesA(NULL, "root\\rngacq_fake", inf, INSTALLFLAG_FORCE, &reboot)
                    ? TRUE
                    : Fail("UpdateDriverForPlugAndPlayDevicesA"));
}

int main(void) {
  /* The INF and the driver lie beside this program. */
  char inf[MAX_PATH];
  const DWORD length = GetModuleFileNameA(NULL, inf, MAX_PATH);
  char* slash = length > 0 && length < MAX_PATH ? strrchr(inf, '\\') : NULL;
  if (slash == NULL || (size_t)(slash - inf) + sizeof "\\rngacq_fake.inf" > MAX_PATH) {
    fprintf(stderr, "install_fake_driver: cannot tell where this program lies\n");
    return 1;
  }
  strcpy(slash, "\\rngacq_fake.inf");
  /* A device installed earlier comes back with each new session, a moment after it starts. */
  if (Installed()) {
    if (WaitReady(30000)) return 0;
    fprintf(stderr, "install_fake_driver: the driver is installed but does not answer\n");
    return 1;
  }
  if (!Install(inf)) return 1;
  if (WaitReady(30000)) {
    printf("install_fake_driver: installed from %s\n", inf);
    return 0;
  }
  fprintf(stderr, "install_fake_driver: installed, but its control device or modules never came up\n");
  return 1;
}
