// <windows.h> for the program's own Windows sources. Its function-name macros (CreateEvent,
// DeleteFile, ...) would silently rename our members and functions of the same names, so they
// are removed here; our sources call the explicit A or W forms.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#undef CreateEvent
#undef DeleteFile
#undef GetCurrentDirectory
#undef GetModuleFileName
