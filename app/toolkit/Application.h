// The application object: shows an exception that escapes an event handler in an error box
// and carries on.
#pragma once

#include <QApplication>

class TApplication : public QApplication {
public:
    TApplication(int& argc, char** argv);

    bool notify(QObject* receiver, QEvent* event) override;

    // Reports an exception caught from an event handler: EAbort silently, anything else in an
    // error message box with its message.
    static void ShowException(std::exception_ptr error);
};
