// Editable drop-down list with a selected index that stays -1 until an item is picked or set.
#pragma once

#include <QComboBox>

class TComboBox : public QComboBox {
public:
    explicit TComboBox(QWidget* parent = nullptr);

    // Index of the selected item; -1 when nothing is selected or the text was edited away from
    // the selected item.
    int ItemIndex() const;
    // Selects an item (its text becomes the field's text); -1 clears the selection and the text.
    void SetItemIndex(int index);

    QString Text() const { return currentText(); }
    // Sets the edit text without selecting anything.
    void SetText(const QString& text);

protected:
    // Leaving the field picks nothing: the selection stays as it was.
    void focusOutEvent(QFocusEvent* event) override;
};
