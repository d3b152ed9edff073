#pragma once
// JSON adapter over nlohmann::json. Parsing never throws: text that is not JSON gives no document.
// Member order is kept (ordered_json), integers stay exact, and compact text never throws on bad UTF-8.

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string_view>

using Json = nlohmann::ordered_json;

// The deepest nesting a document may have: copying a document, writing it as text and comparing it
// recurse once per level, and a reply nested tens of thousands of levels deep would overflow the
// stack of the thread reading it. Replies of the registry and the Bot API nest seven levels at most.
inline constexpr int maxJsonDepth = 100;

// A document, or nothing when the text is not JSON.
std::optional<Json> parseJson(const QByteArray &utf8);
std::optional<Json> parseJson(const QString &text);

// The value at a path of member names joined by "."; nullptr when a member on the path is missing
// or a value on the way is not an object.
const Json *jsonPath(const Json &root, std::string_view dottedPath);
const Json *jsonPath(const Json *root, std::string_view dottedPath);

// Text of a value: a string its characters, a number its decimal JSON text, null "null",
// an array or object its compact JSON text, nullptr (a missing member) the empty text.
QString jsonText(const Json *value);
// A number gives its value (a fraction is dropped); anything else, nullptr included, gives 0.
std::int64_t jsonInteger(const Json *value);
// true gives true; anything else gives false.
bool jsonTruth(const Json *value);
// The value when it is an array, else nullptr.
const Json *jsonArray(const Json *value);
// Element by index of an array; nullptr past the end or when value is not an array.
const Json *jsonElement(const Json *array, std::size_t index);
// Number of elements of an array; 0 for anything else.
std::size_t jsonLength(const Json *array);
