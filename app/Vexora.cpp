// Program start: the application, the main window, the hidden status window, the event loop.
#include "AfSafeSync.h"
#include "AppForms.h"
#include "Application.h"
#include "UnitVexora.h"

int main(int argc, char** argv)
{
    TApplication application(argc, argv);
    TApplication::setApplicationName(QStringLiteral("Vexora"));
    TApplication::setStyle(QStringLiteral("Fusion"));

    InstallExceptionDisplay();
    CreateForms();
    Form1->show();
    const int result = TApplication::exec();
    DestroyForms();
    SetApplicationExceptionHandler(nullptr);
    return result;
}
