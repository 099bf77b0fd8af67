// One unit with every installed header of the serial component beside the headers of other
// libraries that a program may include with it: <curses.h> (TRUE and FALSE as macros, and
// function-like macros such as timeout(), scroll(), getch()), <X11/Xmd.h> (BOOL and BYTE as global
// types), Qt Serial Port and Boost.Asio. CheckForeignHeaders.sh compiles it twice: with
// VEXORA_HEADERS_FIRST 1 the component's headers come first, with 0 last. The component's list,
// vexora_headers.h, is made from the installed tree; it leaves out AfGlobalNames.h, the one
// header whose purpose is to open the names to the global namespace.
#if VEXORA_HEADERS_FIRST
#include "vexora_headers.h"
#endif

// Boost 1.74's asio.hpp uses std::exchange without including <utility>.
#include <utility>

#include <QComboBox>
#include <QDialog>
#include <QSerialPort>
#include <boost/asio.hpp>
// After Qt and Boost, which do not survive the macros of curses themselves (QPixmap::scroll).
#include <X11/Xmd.h>
#include <curses.h>

#if !VEXORA_HEADERS_FIRST
#include "vexora_headers.h"
#endif

// None of the component's names is global: a program may take each for its own.
int DWORD, HANDLE, OVERLAPPED, TObject, Exception, EAbort, CreateFileA, ReadFile, CloseHandle, Sleep,
    GetLastError, INVALID_HANDLE_VALUE, ceCommEvent, paEven, tpNormal, csDesigning, TAfComPort;

// X11's BOOL and BYTE, curses' TRUE, and the platform's own, side by side.
static_assert(sizeof(BOOL) == 1 && sizeof(BYTE) == 1 && TRUE == 1 && FALSE == 0);
static_assert(sizeof(vexora::serial::platform::BOOL) == 4 && sizeof(vexora::serial::platform::DCB) == 28);

int main()
{
    vexora::serial::TAfLineSettings settings;
    settings.Parity = vexora::serial::paEven;
    const vexora::serial::platform::DCB dcb = vexora::serial::LineSettingsToDCB(settings);
    return dcb.Parity == vexora::serial::platform::EVENPARITY ? 0 : 1;
}
