#pragma once
// One kept declaration as output: the link to its applicant page and the row of 21 cells of the
// table file. Pure functions of the detail object, the dictionary lookup's reply and the regulation
// list; nothing fails: a missing, null or odd-typed member gives an empty cell (or "null", for the
// cells that keep the field's text unchanged). Every cell is cleaned so that a row is always one
// line of exactly 21 TAB-separated cells.

#include "json.h"

#include <QString>
#include <QStringList>

inline constexpr int ResultColumnCount = 21;

// Empty when the text is "null" exactly; the text unchanged otherwise.
QString NullToEmpty(const QString &text);
// Each run of TAB, CR and LF characters becomes one space.
QString cleanCell(const QString &text);

// registryUrl + "/rds/declaration/view/" + the text of idDeclaration + "/applicant", cleaned.
QString declarationLink(const QString &registryUrl, const Json &detail);

// The 21 cells, link first; regulationIds holds lines of id "=" display name. dictionaryText is the
// lookup's reply as it came (UTF-8 as a rule), read as its decoded text would be read: the reply may
// run to tens of megabytes, and only the pieces the cells take are ever decoded.
QStringList composeCells(const Json &detail, const QByteArray &dictionaryText, const QString &link,
                         const QStringList &regulationIds);
// The cells joined by TAB.
QString ComposeRow(const Json &detail, const QByteArray &dictionaryText, const QString &link,
                   const QStringList &regulationIds);

// The 21 header texts joined by TAB.
QString resultHeaderLine();
