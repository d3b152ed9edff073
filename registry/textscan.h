#pragma once
// Marker extraction shared by the login (the Authorization header), the run (the bearer token)
// and row composition (dictionary texts). All searches are exact and case-sensitive.

#include <QString>

// The part of text between markers. The anchor is the first occurrence of start (an empty start anchors
// at the beginning); a start that does not occur gives "". A non-empty second is searched after the anchor
// and becomes the anchor; not found gives "". The content runs from after the anchor to the first end
// found from there (to the text's end when end is empty); an end that does not occur gives "".
QString ExtractBetween(const QString &text, const QString &start, const QString &second, const QString &end);
