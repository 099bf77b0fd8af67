#include "DropDownList.h"

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
