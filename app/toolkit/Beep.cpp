#include "Beep.h"

#include <QApplication>

namespace {
TBeepHandler& Handler()
{
    static TBeepHandler handler;
    return handler;
}
} // namespace

void Beep()
{
    if (Handler()) {
        Handler()();
        return;
    }
    QApplication::beep();
}

TBeepHandler SetBeepHandler(TBeepHandler handler)
{
    TBeepHandler previous = std::move(Handler());
    Handler() = std::move(handler);
    return previous;
}
