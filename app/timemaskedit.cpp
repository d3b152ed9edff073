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
    // Qt places a blank differently by the kind of position: at an optional one (the first of each
    // pair) a space is skipped and the digits after it move forward, so it is given as the blank
    // character; at a required one the blank character is taken as a digit still to come and
    // shifts the rest, so it is given as a space. Either way each blank stays in its place.
    QString masked = text;
    for (const qsizetype optional : {0, 3}) {
        if (optional < masked.size() && masked.at(optional) == QLatin1Char(' '))
            masked[optional] = blank;
    }
    edit->setText(masked);
}
