// vexora-cli: the meter from a terminal. A QCoreApplication without a window: the port's events
// come to this thread through the notification channel and are served while the operations wait.
#include <QCoreApplication>
#include <QLocale>

#include <string>
#include <vector>

#include "CliCommands.h"

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    // Numbers on the command line, in JSON and in what the command prints use "." whatever the
    // user's locale; the date and time of a decoder's message keep the user's format.
    QLocale::setDefault(QLocale::c());
    return RunCli(std::vector<std::string>(argv + 1, argv + argc));
}
