#include "UnitCaption.h"

#include "AppLook.h"

#include <QLabel>

TFormCaption* FormCaption = nullptr;

TFormCaption::TFormCaption(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("FormCaption"));
    setWindowTitle(QStringLiteral("Caption"));
    setWindowIcon(CaptionIcon());
    setFont(DesignFont());
    setAutoFillBackground(true);
    // Client area of the 195 x 70 window.
    setFixedSize(187, 36);
    move(542, 391);
    // Closing the main window ends the program even while this one is shown.
    setAttribute(Qt::WA_QuitOnClose, false);

    Label1 = new QLabel(QStringLiteral("Label1"), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->move(16, 16);
    Label1->adjustSize();
}
