// The one place where Orbel meets the operating system's headers: the real
// Windows SDK on Windows, winsim (the in-memory stand-in) everywhere else.
#pragma once

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>
#include <powrprof.h>
#include <wininet.h>
#else
#include "winsim/windows.h"
#endif
