// ExtractBetween: the marker rules that the login, the run and row composition depend on.
#include "fixtures.h"
#include "json.h"
#include "textscan.h"

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace {

TEST(ExtractBetween, Rules)
{
    const struct
    {
        const char *name;
        QString text, start, second, end, expected;
    } cases[] = {
        {"empty start anchors at the beginning", u"abc]def"_s, {}, {}, u"]"_s, u"abc"_s},
        {"empty start and end give the whole text", u"abc"_s, {}, {}, {}, u"abc"_s},
        {"missing start", u"abc"_s, u"x"_s, {}, {}, {}},
        {"empty end runs to the text's end", u"key=value=more"_s, u"="_s, {}, {}, u"value=more"_s},
        {"first occurrence of start", u"[a][b]"_s, u"["_s, {}, u"]"_s, u"a"_s},
        {"second found", u"\"tnved\":{\"code\":\"8501\",\"name\":\"Моторы\"}"_s, u"\"tnved\""_s, u"\"name\":\""_s,
         u"\""_s, u"Моторы"_s},
        {"second searched only after the anchor", u"name:x start name:y]"_s, u"start"_s, u"name:"_s, u"]"_s, u"y"_s},
        {"second missing", u"a[b]"_s, u"a"_s, u"z"_s, u"]"_s, {}},
        {"second present only before the anchor", u"z a[b]"_s, u"a"_s, u"z"_s, u"]"_s, {}},
        {"missing end", u"a[b"_s, u"["_s, {}, u"]"_s, {}},
        {"end searched from the content's start", u"]x[y]"_s, u"["_s, {}, u"]"_s, u"y"_s},
        {"end right after the anchor gives empty content", u"[]x]"_s, u"["_s, {}, u"]"_s, {}},
        {"end equal to start", u"\"a\"b\""_s, u"\""_s, {}, u"\""_s, u"a"_s},
        {"markers are case-sensitive", u"Authorization: x"_s, u"authorization:"_s, {}, {}, {}},
        {"Cyrillic positions", u"Заявитель: ООО «Ромашка»; ИНН 7700000000"_s, u"«"_s, {}, u"»"_s, u"Ромашка"_s},
        {"Cyrillic markers", u"тип:Общество;регион:Москва;"_s, u"регион:"_s, {}, u";"_s, u"Москва"_s},
        {"characters beyond the basic plane", u"😀[x😀]"_s, u"["_s, {}, u"]"_s, u"x😀"_s},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ExtractBetween(c.text, c.start, c.second, c.end), c.expected);
    }
}

TEST(ExtractBetween, AuthorizationFromLoginHeaders)
{
    // The login reply's header lines as the client hands them over: status line first, CR LF after each.
    const auto headers = parseJson(readFixture(u"registry/login-headers.json"_s));
    ASSERT_TRUE(headers.has_value());
    QString text = u"HTTP/1.1 200 \r\n"_s;
    for (const auto &[name, value] : headers->items())
        text += QString::fromStdString(name) + u": "_s + jsonText(&value) + u"\r\n"_s;

    const QString value = ExtractBetween(text, u"Authorization:"_s, {}, u"\n"_s);
    EXPECT_TRUE(value.startsWith(u" Bearer eyJhbGciOiJIUzUxMiJ9."_s));
    EXPECT_TRUE(value.endsWith(u"\r"_s)); // the caller trims blanks and control characters
    EXPECT_EQ(value.trimmed(), jsonText(jsonPath(*headers, "Authorization")));
    EXPECT_EQ(ExtractBetween(value.trimmed(), u"Bearer "_s, {}, {}).count(u'.'), 2);

    // No Authorization line at all: nothing.
    EXPECT_EQ(ExtractBetween(u"HTTP/1.1 401 \r\nServer: nginx\r\n"_s, u"Authorization:"_s, {}, u"\n"_s), QString());
}

} // namespace
