// Program start: the application, the exception display and the port configuration dialog, the
// main window, the hidden status window, the event loop.
#include <vexora/serial/AfApplicationException.h>
#include <vexora/serial/AfCommConfigDialog.h>
#include <vexora/serial/platform/AfGlobalNames.h>

#include "AppForms.h"
#include "Application.h"
#include "UnitVexora.h"

int main(int argc, char** argv)
{
    TApplication application(argc, argv);
    TApplication::setApplicationName(QStringLiteral("Vexora"));
    // The desktop entry the package installs, so the desktop shows the window under its icon.
    TApplication::setDesktopFileName(QStringLiteral("vexora"));
    TApplication::setStyle(QStringLiteral("Fusion"));

    InstallExceptionDisplay();
    InstallCommConfigDialog();
    CreateForms();
    Form1->show();
    const int result = TApplication::exec();
    DestroyForms();
    SetApplicationExceptionHandler(nullptr);
    return result;
}
