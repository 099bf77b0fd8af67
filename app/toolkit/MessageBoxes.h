// Modal message and confirmation boxes, with a hook that lets tests answer them.
#pragma once

#include <QString>

#include <functional>
#include <vector>

enum class TMsgDlgType { mtInformation, mtError, mtConfirmation };
enum class TModalResult { mrOk, mrYes, mrNo };

// What a box would show: its kind, caption and text.
struct TMessageRequest {
    TMsgDlgType Kind;
    QString Caption;
    QString Text;
};

// A hook replaces the real boxes: it receives every request and returns the answer.
using TMessageHook = std::function<TModalResult(const TMessageRequest&)>;

// Installs a hook (an empty one restores the real boxes); returns the previous hook.
TMessageHook SetMessageHook(TMessageHook hook);

// The caption of message boxes: the application's title.
QString ApplicationTitle();

// Modal box with one OK button, the application's title as caption, centred on the screen.
// Window events keep being processed until it is closed.
void ShowMessage(const QString& text);

// Like ShowMessage with an error symbol; used to report exceptions.
void ShowErrorMessage(const QString& text);

// Modal "Confirm" box with a question mark and the buttons "&Yes" and "&No"; true for Yes.
bool ConfirmYesNo(const QString& text);

// Test helper: while alive, records every box instead of showing it and answers confirmations
// with a fixed result.
class TMessageRecorder {
public:
    explicit TMessageRecorder(TModalResult confirmAnswer = TModalResult::mrYes);
    ~TMessageRecorder();
    TMessageRecorder(const TMessageRecorder&) = delete;
    TMessageRecorder& operator=(const TMessageRecorder&) = delete;

    const std::vector<TMessageRequest>& Requests() const { return FRequests; }
    void SetConfirmAnswer(TModalResult answer) { FConfirmAnswer = answer; }
    void Clear() { FRequests.clear(); }

private:
    std::vector<TMessageRequest> FRequests;
    TModalResult FConfirmAnswer;
    TMessageHook FPrevious;
};
