#pragma once
// The daily start time field: two hour positions, a fixed ":" and two minute positions; the first
// of each pair takes a digit or stays blank, the second takes a digit. Blanks show as "_" while
// editing and read as spaces, so an empty field reads "  :  " and an unfinished one keeps its
// blanks in settings.ini.

#include <QString>

class QLineEdit;

void setUpTimeMaskEdit(QLineEdit *edit);
// The field's text: what it shows, with each unfilled position as a space.
QString timeMaskEditText(const QLineEdit *edit);
// Puts a text written by timeMaskEditText back, blanks in their places.
void setTimeMaskEditText(QLineEdit *edit, const QString &text);
