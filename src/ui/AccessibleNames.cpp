#include "ui/AccessibleNames.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>

namespace {

QString LabelWords(QString text) {
    text.replace(QStringLiteral("&&"), QStringLiteral("\x01"));
    text.remove(QLatin1Char('&'));
    text.replace(QStringLiteral("\x01"), QStringLiteral("&"));
    text = text.trimmed();
    if (text.endsWith(QLatin1Char(':')))
        text.chop(1);
    return text;
}

} // namespace

void NameInputsAfterLabels(QWidget* root) {
    const auto labels = root->findChildren<QLabel*>();
    for (const bool withMnemonic : {true, false}) {
        for (QLabel* label : labels) {
            QWidget* input = label->buddy();
            const bool hasMnemonic = label->text().remove(QStringLiteral("&&")).contains(QLatin1Char('&'));
            if (!input || hasMnemonic != withMnemonic || !input->accessibleName().isEmpty())
                continue;
            input->setAccessibleName(LabelWords(label->text()));
        }
    }
    for (QComboBox* box : root->findChildren<QComboBox*>())
        if (box->lineEdit() && box->lineEdit()->accessibleName().isEmpty())
            box->lineEdit()->setAccessibleName(box->accessibleName());
}
