// The main window's operations step by step, for the tests that run them: the fields that "Read"
// fills as one line, and the trace of an operation's steps.
#pragma once

#include <QLabel>
#include <QLineEdit>
#include <QObject>
#include <QPushButton>
#include <QStringList>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <utility>

#include "Gauge.h"
#include "MessageBoxes.h"
#include "PumpWait.h"
#include "UnitCaption.h"
#include "UnitVexora.h"

// The fields that Read fills, as one line.
inline std::string Shown()
{
    const TForm1& f = *Form1;
    return QStringList{QString::number(f.SpinEdit3->Value()),
                       QString::number(f.SpinEdit4->Value()),
                       f.Edit1->text(),
                       QString::number(f.SpinEdit5->Value()),
                       QString::number(f.SpinEdit6->Value()),
                       f.ComboBox1->Text() + "#" + QString::number(f.ComboBox1->ItemIndex()),
                       QString::number(f.SpinEdit7->Value()),
                       f.Label31->text()}
        .join(u' ')
        .toStdString();
}

// The steps of operations in the window, each noted when it differs from the last: "range 0..4 |
// buttons none | port open | status Switching FRAME config data | progress 1 (25%) | ...".
class TTracer {
public:
    TTracer()
    {
        Look();
        Gauge();
        FSteps.clear();
        FTicks = SetTickSource([this] {
            Look();
            return static_cast<std::uint32_t>(std::chrono::steady_clock::now().time_since_epoch() /
                                              std::chrono::milliseconds(1));
        });
        FHook = SetMessageHook([this](const TMessageRequest& box) { return Box(box); });
        QObject::connect(Form1->Gauge1, &TGauge::Changed, [this] { Gauge(); });
    }
    ~TTracer()
    {
        SetTickSource(std::move(FTicks));
        SetMessageHook(std::move(FHook));
    }

    std::string Take() { return std::exchange(FSteps, {}).join(" | ").toStdString(); }
    // Runs Action from the event loop once the status window first shows Status.
    void When(const QString& Status, std::function<void()> Action) { FWhen = {Status, std::move(Action)}; }
    TModalResult Answer = TModalResult::mrYes;

    void Look()
    {
        QStringList on;
        for (const QPushButton* button : {Form1->Button1, Form1->Button2, Form1->Button3})
            if (button->isEnabled())
                on << (button == Form1->Button3 ? QStringLiteral("Reset") : button->text());
        Note(FButtons, "buttons " + (on.isEmpty() ? QStringLiteral("none") : on.join(u',')));
        // The port box and "Addr" are locked and given back with the buttons: only a step where
        // one of them is not is noted.
        QStringList astray;
        for (const QWidget* control :
             std::initializer_list<QWidget*>{Form1->AfPortComboBox1, Form1->SpinEdit2})
            if (control->isEnabled() == on.isEmpty())
                astray << control->accessibleName();
        Note(FLinkControls,
             astray.isEmpty() ? "link as buttons" : astray.join(u',') + (on.isEmpty() ? " on" : " off"));
        Note(FPort, Form1->AfComPort1->IsPortOpen() ? "port open" : "port closed");
        const QString status = FormCaption->isVisible() ? FormCaption->Label1->text() : "hidden";
        Note(FStatus, "status " + status);
        if (FWhen.second && status == FWhen.first)
            QTimer::singleShot(0, std::exchange(FWhen.second, {}));
    }

private:
    void Note(QString& Last, const QString& Now)
    {
        if (Now != Last)
            FSteps << (Last = Now);
    }
    void Gauge()
    {
        const TGauge& gauge = *Form1->Gauge1;
        Note(FRange, QStringLiteral("range %1..%2").arg(gauge.MinValue()).arg(gauge.MaxValue()));
        if (std::exchange(FProgress, gauge.Progress()) != gauge.Progress())
            FSteps << QStringLiteral("progress %1 (%2)").arg(gauge.Progress()).arg(gauge.Text());
    }
    TModalResult Box(const TMessageRequest& box)
    {
        Look();
        QString text = box.Text;
        if (!text.isEmpty() && text[0].isDigit()) // a decoder's message: its time stamp left out
            text = "<time>" + text.mid(text.indexOf(" - "));
        const char* kind[] = {"box ", "error ", "confirm "};
        FSteps << kind[static_cast<int>(box.Kind)] + text;
        return box.Kind == TMsgDlgType::mtConfirmation ? Answer : TModalResult::mrOk;
    }

    QStringList FSteps;
    QString FButtons, FLinkControls, FPort, FStatus, FRange;
    int FProgress = 0;
    std::pair<QString, std::function<void()>> FWhen;
    TTickSource FTicks;
    TMessageHook FHook;
};
