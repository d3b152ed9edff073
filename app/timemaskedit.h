#pragma once
// The daily start time field: two hour positions, a fixed ":" and two minute positions. It takes
// only what can still become a time of day: "25:99" is refused key by key, and a "9" typed over the
// "0" of "09:00" is refused rather than making "99:00". Blanks show as "_" while editing and read
// as spaces. A time left unfinished is completed when the field is left (" 9:05" becomes "09:05")
// or, where that is no time of day, goes back to the last whole time the field held.

#include <QString>
#include <QValidator>

class QLineEdit;

// "HH:mm", hours 00 to 23, minutes 00 to 59: the only form the daily autostart can match.
bool isTimeOfDay(const QString &text);

// What the field accepts as it is typed into; the field's text here has "_" for each blank.
class TimeOfDayValidator : public QValidator
{
public:
    explicit TimeOfDayValidator(QObject *parent = nullptr) : QValidator(parent) {}
    State validate(QString &input, int &pos) const override;
    // A blank first digit before a typed second one becomes "0"; anything else unfinished becomes
    // the last whole time validated.
    void fixup(QString &input) const override;

private:
    mutable QString m_lastWhole = QStringLiteral("09:00");
};

void setUpTimeMaskEdit(QLineEdit *edit);
// The field's text: what it shows, with each unfilled position as a space.
QString timeMaskEditText(const QLineEdit *edit);
// Puts a text written by timeMaskEditText back, blanks in their places.
void setTimeMaskEditText(QLineEdit *edit, const QString &text);
// Completes an unfinished time as leaving the field does (for a close with the cursor still in it).
void settleTimeMaskEdit(QLineEdit *edit);
