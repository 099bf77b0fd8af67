// vexora-portwindow: a window with the port box bound to a port component. Picking a port in the
// box opens it at the rate chosen under "Settings..."; what the port receives shows in the
// window, and a line typed below goes out with CR LF when Enter is pressed.
//
// What the example shows:
// - TAfPortComboBox lists the serial ports that exist (COM 1 to 16 here). Bound to a port
//   component with SetComPort, it sets the component's ComNumber and opens the port when the
//   user picks one.
// - InstallCommConfigDialog makes the settings dialog the one that ShowSettingsDialog shows.
// - The component's events run on the main thread, so handlers may use widgets directly.
// - Errors: a pick that cannot open its port goes to the application's exception display, which
//   this program makes a message box; the program's own calls into the component catch theirs
//   (a Qt slot must not let an exception out) and send them the same way.
#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <QWidget>

#include <exception>
#include <string>

#include <vexora/serial/AfApplicationException.h>
#include <vexora/serial/AfComPort.h>
#include <vexora/serial/AfCommConfigDialog.h>
#include <vexora/serial/AfPortControls.h>

// The component's names; the platform's stay behind platform::.
using namespace vexora::serial;

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    InstallCommConfigDialog();

    // The port: made on the main thread, which serves its events. Declared before the window, it
    // is destroyed after it: the port box goes while the port it is bound to is still there.
    TAfComPort port(nullptr);
    port.SetBaudRate(br9600);

    QWidget window;
    window.setWindowTitle("vexora-portwindow");
    auto* box = new TAfPortComboBox(&window);
    box->SetMaxComPorts(16);
    box->SetComPort(&port);
    auto* settings = new QPushButton("Settings...", &window);
    auto* state = new QLabel("Pick a port to open it", &window);
    auto* received = new QPlainTextEdit(&window);
    received->setReadOnly(true);
    auto* line = new QLineEdit(&window);
    line->setPlaceholderText("Text to send; Enter sends it with CR LF");

    auto* top = new QHBoxLayout;
    top->addWidget(box);
    top->addWidget(settings);
    top->addWidget(state, 1);
    auto* layout = new QVBoxLayout(&window);
    layout->addLayout(top);
    layout->addWidget(received);
    layout->addWidget(line);

    SetApplicationExceptionHandler([&window](std::exception_ptr Error) {
        try {
            std::rethrow_exception(Error);
        } catch (const std::exception& error) {
            QMessageBox::warning(&window, window.windowTitle(), QString::fromStdString(error.what()));
        }
    });
    // Runs Action; an exception goes to the display above.
    auto guarded = [](const auto& Action) {
        try {
            Action();
        } catch (...) {
            ApplicationHandleException(std::current_exception());
        }
    };

    port.OnPortOpen = [&](TObject*) { state->setText(QString("COM %1 open").arg(port.ComNumber())); };
    port.OnPortClose = [&](TObject*) { state->setText("Closed"); };
    port.OnDataRecived = [&](TObject*, std::int32_t Count) {
        std::string bytes(static_cast<std::size_t>(Count), '\0');
        port.ReceiveData(bytes.data(), Count);
        received->moveCursor(QTextCursor::End);
        received->insertPlainText(QString::fromLatin1(bytes.data(), Count));
    };
    port.OnLineError = [&](TObject*, platform::DWORD Errors) {
        received->appendPlainText(QString("[line error 0x%1]").arg(Errors, 0, 16));
    };

    QObject::connect(settings, &QPushButton::clicked, [&] { guarded([&] { port.ShowSettingsDialog(); }); });
    QObject::connect(line, &QLineEdit::returnPressed, [&] {
        guarded([&] {
            const QByteArray text = line->text().toUtf8() + "\r\n";
            // Raises on a closed port.
            port.SendData(text.constData(), static_cast<std::int32_t>(text.size()));
            line->clear();
        });
    });

    window.resize(560, 360);
    window.show();
    const int status = application.exec();
    SetApplicationExceptionHandler(nullptr); // it shows its boxes on the window, which goes now
    return status;
}
