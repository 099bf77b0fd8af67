#include "Application.h"

#include <vexora/serial/AfExceptions.h>
#include <vexora/serial/platform/AfGlobalNames.h>

#include "MessageBoxes.h"

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool TApplication::notify(QObject* receiver, QEvent* event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        ShowException(std::current_exception());
        return false;
    }
}

void TApplication::ShowException(std::exception_ptr error)
{
    try {
        std::rethrow_exception(error);
    } catch (const EAbort&) {
        // A silent abort ends the operation without a word.
    } catch (const std::exception& e) {
        ShowErrorMessage(QString::fromStdString(e.what()));
    } catch (...) {
        ShowErrorMessage(QStringLiteral("Unknown error"));
    }
}
