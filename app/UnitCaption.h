// The small status window that shows the step in progress while an operation runs.
#pragma once

#include <QWidget>

class QLabel;

class TFormCaption : public QWidget {
public:
    explicit TFormCaption(QWidget* parent = nullptr);

    QLabel* Label1; // the step in progress
};

// The status window, from program start to end; hidden except while an operation runs.
extern TFormCaption* FormCaption;
