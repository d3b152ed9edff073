#include "json.h"

#include <cmath>
#include <limits>

std::optional<Json> parseJson(const QByteArray &utf8)
{
    // A document nested deeper than maxJsonDepth counts as no JSON at all; from the first container
    // that is too deep on, nothing is kept, so nothing deep is ever built.
    bool tooDeep = false;
    const Json::parser_callback_t limitDepth = [&tooDeep](int depth, Json::parse_event_t event, Json &) {
        if (depth >= maxJsonDepth &&
            (event == Json::parse_event_t::object_start || event == Json::parse_event_t::array_start))
            tooDeep = true;
        return !tooDeep;
    };
    Json document = Json::parse(utf8.cbegin(), utf8.cend(), limitDepth, false);
    if (tooDeep || document.is_discarded())
        return std::nullopt;
    return document;
}

std::optional<Json> parseJson(const QString &text)
{
    return parseJson(text.toUtf8());
}

const Json *jsonPath(const Json &root, std::string_view dottedPath)
{
    const Json *value = &root;
    for (;;) {
        const std::size_t dot = dottedPath.find('.');
        const std::string_view name = dottedPath.substr(0, dot);
        if (!value->is_object())
            return nullptr;
        const auto member = value->find(name);
        if (member == value->end())
            return nullptr;
        value = &*member;
        if (dot == std::string_view::npos)
            return value;
        dottedPath.remove_prefix(dot + 1);
    }
}

const Json *jsonPath(const Json *root, std::string_view dottedPath)
{
    return root ? jsonPath(*root, dottedPath) : nullptr;
}

QString jsonText(const Json *value)
{
    if (!value)
        return {};
    if (value->is_string()) {
        const auto &text = value->get_ref<const Json::string_t &>();
        return QString::fromUtf8(text.data(), qsizetype(text.size()));
    }
    // Numbers keep their exact integer digits (or the shortest text that reads back as the same
    // double); arrays and objects come out compact, Cyrillic as is, invalid UTF-8 replaced.
    const std::string text = value->dump(-1, ' ', false, Json::error_handler_t::replace);
    return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

std::int64_t jsonInteger(const Json *value)
{
    if (!value)
        return 0;
    if (value->is_number_integer() && !value->is_number_unsigned())
        return value->get<std::int64_t>();
    if (value->is_number_unsigned()) {
        const auto number = value->get<std::uint64_t>();
        return number > std::uint64_t(std::numeric_limits<std::int64_t>::max())
                   ? std::numeric_limits<std::int64_t>::max()
                   : std::int64_t(number);
    }
    if (value->is_number_float()) {
        // The fraction is dropped; values beyond the integer range stay at its ends instead of overflowing.
        const double number = std::trunc(value->get<double>());
        if (std::isnan(number))
            return 0;
        if (number >= 9223372036854775807.0)
            return std::numeric_limits<std::int64_t>::max();
        if (number <= -9223372036854775808.0)
            return std::numeric_limits<std::int64_t>::min();
        return std::int64_t(number);
    }
    return 0;
}

bool jsonTruth(const Json *value)
{
    return value && value->is_boolean() && value->get<bool>();
}

const Json *jsonArray(const Json *value)
{
    return value && value->is_array() ? value : nullptr;
}

const Json *jsonElement(const Json *array, std::size_t index)
{
    if (!array || !array->is_array() || index >= array->size())
        return nullptr;
    return &(*array)[index];
}

std::size_t jsonLength(const Json *array)
{
    return array && array->is_array() ? array->size() : 0;
}
