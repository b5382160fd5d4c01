// The one header through which the system's code reaches the platform.
//
// On Windows it brings in the real Win32 headers and adds the few Windows CE
// and Windows Mobile declarations that desktop headers lack. Everywhere else
// it declares the host layer's own implementation of the same functions,
// types and constants (see docs/architecture.md, "Host layer").
#pragma once

#ifdef _WIN32

#ifndef UNICODE
#define UNICODE
#endif
#ifndef _UNICODE
#define _UNICODE
#endif
#include <windows.h>
#include <wininet.h>
#include <mmsystem.h>
#include <bcrypt.h>
#include <cwchar>
#include <cwctype>

#else  // the Linux host layer

#include "wince/types.h"
#include "wince/widestr.h"
#include "wince/kernel.h"
#include "wince/window.h"
#include "wince/registry.h"
#include "wince/loader.h"
#include "wince/sysinfo.h"
#include "wince/wininet.h"
#include "wince/bcrypt.h"

#endif

// Windows CE / Windows Mobile declarations, valid on both.
#include "wince/ce_extras.h"
#include "wince/connmgr.h"
