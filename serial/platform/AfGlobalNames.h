/// \file
/// Opens the serial component's names and the comm platform's to code written against them
/// unqualified, as the Vexora tool's own code and its tests are: `TAfComPort`, `paEven`, `DWORD`,
/// `CreateFileA`, `TRUE`. It brings the whole platform interface (AfWin.h) with it.
///
/// The component's public headers keep every name in its namespace and never include this one:
/// `vexora::serial` holds the component (TObject, Exception, TAfComPort, ...),
/// `vexora::serial::platform` the Win32-named types, constants and functions and the COM mapping.
/// Include it in a program's own files only, never in a header of a library that other programs
/// include: the names it opens meet those of other libraries in the global namespace (`BOOL` of
/// \<X11/Xmd.h\>, the TRUE and FALSE macros of \<curses.h\>).
#pragma once

#include <vexora/serial/platform/AfWin.h>

namespace vexora::serial {
}

using namespace vexora::serial;
using namespace vexora::serial::platform;
