#include "timemaskedit.h"

#include <QLineEdit>

namespace {
const QChar blank = QLatin1Char('_');
}

void setUpTimeMaskEdit(QLineEdit *edit)
{
    // Qt's "0" is an optional digit and "9" a required one.
    edit->setInputMask(QStringLiteral("09:09;_"));
    edit->setMaxLength(5);
}

QString timeMaskEditText(const QLineEdit *edit)
{
    // text() drops the unfilled positions ("  :  " would read ":"); the shown text keeps them.
    QString text = edit->displayText();
    text.replace(blank, QLatin1Char(' '));
    return text;
}

void setTimeMaskEditText(QLineEdit *edit, const QString &text)
{
    // Given as spaces, blanks would be skipped and the digits after them moved forward; given as
    // the blank character they keep their positions.
    QString masked = text;
    masked.replace(QLatin1Char(' '), blank);
    edit->setText(masked);
}
