#include "DropDownList.h"

#include <QFocusEvent>
#include <QLineEdit>

TComboBox::TComboBox(QWidget* parent) : QComboBox(parent)
{
    setEditable(true);
    setInsertPolicy(QComboBox::NoInsert);
}

int TComboBox::ItemIndex() const
{
    const int index = currentIndex();
    if (index < 0 || itemText(index) != currentText()) {
        return -1;
    }
    return index;
}

void TComboBox::SetItemIndex(int index)
{
    if (index < 0 || index >= count()) {
        setCurrentIndex(-1);
        setEditText(QString());
        return;
    }
    setCurrentIndex(index);
    setEditText(itemText(index));
}

void TComboBox::SetText(const QString& text)
{
    setCurrentIndex(-1);
    setEditText(text);
}

void TComboBox::focusOutEvent(QFocusEvent* event)
{
    const int index = currentIndex();
    QComboBox::focusOutEvent(event);
    // Leaving ends the editing, and QComboBox then selects the item that matches the text: the
    // initial "No" would become item 0, and the Down key would jump to "Yes". The text it matched
    // (completed to the item's case) stays; the selection does not.
    if (currentIndex() != index)
        SetText(currentText());
}
