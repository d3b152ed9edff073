#include "timemaskedit.h"

#include <QLineEdit>

namespace {

const QChar blank = QLatin1Char('_');

bool isBlank(QChar c)
{
    return c == blank || c == QLatin1Char(' ');
}

} // namespace

bool isTimeOfDay(const QString &text)
{
    if (text.size() != 5 || text.at(2) != QLatin1Char(':'))
        return false;
    for (const int i : {0, 1, 3, 4}) {
        if (!text.at(i).isDigit() || text.at(i).unicode() > '9')
            return false;
    }
    const int hours = text.left(2).toInt();
    const int minutes = text.mid(3, 2).toInt();
    return hours <= 23 && minutes <= 59;
}

QValidator::State TimeOfDayValidator::validate(QString &input, int &) const
{
    if (input.size() != 5 || input.at(2) != QLatin1Char(':'))
        return Invalid;
    // Each position: a blank, or a digit that still leaves a time of day possible.
    const auto digit = [&](int i) { return isBlank(input.at(i)) ? -1 : input.at(i).digitValue(); };
    for (const int i : {0, 1, 3, 4}) {
        if (!isBlank(input.at(i)) && (!input.at(i).isDigit() || input.at(i).unicode() > '9'))
            return Invalid;
    }
    const int h0 = digit(0);
    const int h1 = digit(1);
    const int m0 = digit(3);
    if (h0 > 2 || (h0 == 2 && h1 > 3) || m0 > 5)
        return Invalid;
    if (!isTimeOfDay(input))
        return Intermediate;
    m_lastWhole = input;
    return Acceptable;
}

void TimeOfDayValidator::fixup(QString &input) const
{
    QString completed = input;
    if (completed.size() == 5) {
        for (const int first : {0, 3}) {
            if (isBlank(completed.at(first)) && completed.at(first + 1).isDigit())
                completed[first] = QLatin1Char('0');
        }
    }
    input = isTimeOfDay(completed) ? completed : m_lastWhole;
}

void setUpTimeMaskEdit(QLineEdit *edit)
{
    // Qt's "0" is an optional digit and "9" a required one.
    edit->setInputMask(QStringLiteral("09:09;_"));
    edit->setMaxLength(5);
    edit->setValidator(new TimeOfDayValidator(edit));
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

void settleTimeMaskEdit(QLineEdit *edit)
{
    if (edit->hasAcceptableInput())
        return;
    QString text = edit->displayText();
    if (const QValidator *validator = edit->validator())
        validator->fixup(text);
    setTimeMaskEditText(edit, text.replace(blank, QLatin1Char(' ')));
}
