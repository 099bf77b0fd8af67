#include "MessageBoxes.h"

#include <QCoreApplication>
#include <QMessageBox>
#include <QPushButton>

namespace {

TMessageHook& Hook()
{
    static TMessageHook hook;
    return hook;
}

TModalResult Show(TMsgDlgType kind, const QString& caption, const QString& text)
{
    if (Hook()) {
        return Hook()(TMessageRequest{kind, caption, text});
    }
    // No parent: the box is centred on the screen, and exec() keeps the events flowing.
    QMessageBox box;
    box.setWindowTitle(caption);
    box.setText(text);
    box.setWindowModality(Qt::ApplicationModal);
    switch (kind) {
    case TMsgDlgType::mtInformation:
        box.setIcon(QMessageBox::NoIcon);
        box.addButton(QMessageBox::Ok);
        break;
    case TMsgDlgType::mtError:
        box.setIcon(QMessageBox::Critical);
        box.addButton(QMessageBox::Ok);
        break;
    case TMsgDlgType::mtConfirmation: {
        box.setIcon(QMessageBox::Question);
        QPushButton* yes = box.addButton(QStringLiteral("&Yes"), QMessageBox::YesRole);
        box.addButton(QStringLiteral("&No"), QMessageBox::NoRole);
        box.setDefaultButton(yes);
        box.exec();
        return box.clickedButton() == yes ? TModalResult::mrYes : TModalResult::mrNo;
    }
    }
    box.exec();
    return TModalResult::mrOk;
}

} // namespace

TMessageHook SetMessageHook(TMessageHook hook)
{
    TMessageHook previous = std::move(Hook());
    Hook() = std::move(hook);
    return previous;
}

QString ApplicationTitle()
{
    return QCoreApplication::applicationName();
}

void ShowMessage(const QString& text)
{
    Show(TMsgDlgType::mtInformation, ApplicationTitle(), text);
}

void ShowErrorMessage(const QString& text)
{
    Show(TMsgDlgType::mtError, ApplicationTitle(), text);
}

bool ConfirmYesNo(const QString& text)
{
    return Show(TMsgDlgType::mtConfirmation, QStringLiteral("Confirm"), text) == TModalResult::mrYes;
}

TMessageRecorder::TMessageRecorder(TModalResult confirmAnswer) : FConfirmAnswer(confirmAnswer)
{
    FPrevious = SetMessageHook([this](const TMessageRequest& request) {
        FRequests.push_back(request);
        return request.Kind == TMsgDlgType::mtConfirmation ? FConfirmAnswer : TModalResult::mrOk;
    });
}

TMessageRecorder::~TMessageRecorder()
{
    SetMessageHook(std::move(FPrevious));
}
