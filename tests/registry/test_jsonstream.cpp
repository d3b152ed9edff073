// JSON read as events with the strings kept out of the parser: the verdict on a text is the
// parser's verdict on the whole text (byte for byte, and as QString::fromUtf8 decodes it), and a
// detail read from its bytes is the whole document reduced to its kept members.
#include "fixtures.h"
#include "jsonstream.h"
#include "registryapi.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace Qt::StringLiterals;

namespace {

QByteArray nested(int depth)
{
    return QByteArray(depth, '[') + QByteArray(depth, ']');
}

// The decimal digits of value × factor, value given by its digits.
QByteArray times(const QByteArray &value, quint64 factor)
{
    QByteArray product;
    quint64 carry = 0;
    for (qsizetype i = value.size() - 1; i >= 0; --i) {
        const quint64 digit = quint64(value[i] - '0') * factor + carry;
        product.prepend(char('0' + digit % 10));
        carry = digit / 10;
    }
    for (; carry; carry /= 10)
        product.prepend(char('0' + carry % 10));
    return product;
}

QByteArray power(quint64 base, int exponent)
{
    QByteArray digits = "1";
    for (int i = 0; i < exponent; ++i)
        digits = times(digits, base);
    return digits;
}

std::optional<Json> wholeDetailReduced(const QByteArray &text)
{
    std::optional<Json> document = parseJson(text);
    if (!document || !document->is_object() ||
        (!document->contains("idDeclaration") && !document->contains("idCertificate")))
        return std::nullopt;
    return keptDetailMembers(std::move(*document));
}

} // namespace

TEST(JsonStream, VerdictIsTheParsersOnTheWholeText)
{
    const struct
    {
        const char *name;
        QByteArray text;
        bool strict;  // JSON as bytes
        bool decoded; // JSON once decoded as text (an ill-formed byte read as U+FFFD)
    } cases[] = {
        {"object", R"({"a":[1,2.5,-3e2,true,false,null],"b":{"c":""}})", true, true},
        {"blanks between tokens", " {\n\t\"a\" :\r\n [ 1 , 2 ] } \n", true, true},
        {"blanks inside a string stay", "{\"a b\":\"  x  \"}", true, true},
        {"escapes", R"(["\"\\\/\b\f\n\r\t\u0041\u00e9\u4e2d\ud83d\ude00\u0000"])", true, true},
        {"escape of an unknown letter", R"(["\x"])", false, false},
        {"\\u with three hex digits", R"(["\u004"])", false, false},
        {"lone high surrogate", R"(["\ud83d"])", false, false},
        {"high surrogate before a non-surrogate", R"(["\ud83d\u0041"])", false, false},
        {"lone low surrogate", R"(["\ude00"])", false, false},
        {"control character inside a string", "[\"a\tb\"]", false, false},
        {"DEL inside a string", "[\"a\x7F\"]", true, true},
        {"unterminated string", "[\"abc", false, false},
        {"backslash at the end", "[\"abc\\", false, false},
        {"Cyrillic", "{\"имя\":\"Ромашка\"}", true, true},
        {"four-byte character", "[\"\xF0\x9F\x98\x80\"]", true, true},
        {"ill-formed byte inside a string", "[\"a\xFF\"]", false, true},
        {"cut-off sequence inside a string", "[\"a\xD0\"]", false, true},
        {"overlong form inside a string", "[\"\xC0\x80\"]", false, true},
        {"surrogate encoded in UTF-8", "[\"\xED\xA0\x80\"]", false, true},
        {"beyond U+10FFFF", "[\"\xF4\x90\x80\x80\"]", false, true},
        {"ill-formed byte between tokens", "[1,\xFF 2]", false, false},
        {"byte-order mark", "\xEF\xBB\xBF[1]", true, true},
        {"two byte-order marks", "\xEF\xBB\xBF\xEF\xBB\xBF[1]", false, true},
        {"byte-order mark inside a string", "[\"\xEF\xBB\xBF\"]", true, true},
        {"trailing text", "[1] x", false, false},
        {"two documents", "{} {}", false, false},
        {"empty", "", false, false},
        {"blanks only", " \n ", false, false},
        {"number forms", "[0,-0,1.0e+5,1E-5,18446744073709551615,-9223372036854775808]", true, true},
        {"leading zero", "[01]", false, false},
        {"number overflow", "[1e400]", false, false},
        {"number followed by a string", "[1\"a\"]", false, false},
        {"literals", "[true,false,null]", true, true},
        {"cut-off literal", "[tru]", false, false},
        {"NUL between tokens", QByteArray("[1,\0 2]", 7), false, false},
        {"100 levels", nested(100), true, true},
        {"101 levels", nested(101), false, false},
        {"101 levels inside a string", "[\"" + QByteArray(101, '[') + "\"]", true, true},
        {"HTML", "<html><body>502</body></html>", false, false},
        {"long integer", "[1" + QByteArray(300, '0') + "]", true, true},
        {"long integer past the double's range", "[1" + QByteArray(400, '0') + "]", false, false},
        {"long fraction", "[-0." + QByteArray(300, '0') + "1]", true, true},
        {"long exponent", "[1e" + QByteArray(300, '0') + "5]", true, true},
        {"long exponent past the range", "[1e" + QByteArray(300, '0') + "400]", false, false},
        {"long exponent below the range", "[1e-" + QByteArray(300, '0') + "400]", true, true},
        {"long number with a leading zero", "[0" + QByteArray(300, '1') + "]", false, false},
        {"long number, then another", "[1" + QByteArray(300, '0') + "-5]", false, false},
        {"long number without exponent digits", "[1" + QByteArray(300, '0') + "e]", false, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(isJsonText(c.text, JsonEventSource::Utf8::Strict), c.strict);
        EXPECT_EQ(isJsonText(c.text, JsonEventSource::Utf8::Decoded), c.decoded);
        // The parser's own verdicts on the whole text.
        EXPECT_EQ(parseJson(c.text).has_value(), c.strict);
        EXPECT_EQ(parseJson(QString::fromUtf8(c.text)).has_value(), c.decoded);
    }
}

// What a worker reads of a detail's bytes is what the whole document gives reduced to the kept
// members: values with escapes and odd shapes, member names written with escapes or twice, and
// replies that are no detail or no JSON (a fault hidden in a member that is not kept included).
TEST(KeptDetail, ReadFromBytesIsTheWholeDocumentReduced)
{
    const QByteArray big(1 << 20, 'x');
    const struct
    {
        const char *name;
        QByteArray text;
        bool detail; // a detail is read
    } cases[] = {
        {"saved detail 1", readFixture(u"registry/detail-1.json"_s), true},
        {"saved detail 2", readFixture(u"registry/detail-2.json"_s), true},
        {"saved detail 3", readFixture(u"registry/detail-3.json"_s), true},
        {"escapes in kept values",
         R"({"idDeclaration":"1\"2","number":"N\u00b0 \ud83d\ude00\/\\\t\u0000","applicant":{"fullName":"\u041e\u041e\u041e"}})",
         true},
        {"kept names written with escapes", R"({"id\u0044eclaration":7,"applicant":{"\u0069nn":"77"}})", true},
        {"a member twice: its first place, its last value",
         R"({"number":"a","idDeclaration":1,"number":"b","applicant":{"inn":"1","ogrn":"2","inn":"3"}})", true},
        {"odd shapes",
         R"({"idCertificate":null,"product":[1,{"identifications":2}],"applicant":"x","idGroups":{"a":[[{}]]}})",
         true},
        {"identifications: the first element alone",
         R"({"idDeclaration":1,"product":{"x":1,"identifications":[{"idTnveds":[1,2],"y":3},{"idTnveds":[9]},"z"]}})",
         true},
        {"identifications of other kinds",
         R"({"idDeclaration":1,"product":{"identifications":{"0":{"idTnveds":[1]}}}})", true},
        {"first identification not an object", R"({"idDeclaration":1,"product":{"identifications":[[5],{"a":1}]}})",
         true},
        {"empty identifications", R"({"idDeclaration":1,"product":{"identifications":[]}})", true},
        {"a long member that is not kept", R"({"idDeclaration":1,"pad":")" + big + R"(","number":"n"})", true},
        {"a long member that is kept", R"({"idDeclaration":1,"number":")" + big + R"("})", true},
        {"blanks between tokens", "{ \"idDeclaration\" : 1 ,\n \"applicant\" : { \"inn\" : \"1\" } }\n", true},
        {"names nested, not at the top", R"({"applicant":{"idDeclaration":1}})", false},
        {"no declaration named", R"({"number":"1"})", false},
        {"an array", R"([{"idDeclaration":1}])", false},
        {"a string", R"("idDeclaration")", false},
        {"a bad escape in a member that is not kept", R"({"idDeclaration":1,"docs":{"a":["\q"]}})", false},
        {"an ill-formed byte in a member that is not kept", "{\"idDeclaration\":1,\"docs\":\"\xFF\"}", false},
        {"nested too deep in a member that is not kept",
         "{\"idDeclaration\":1,\"docs\":" + nested(100) + "}", false},
        {"nested as deep as allowed", "{\"idDeclaration\":1,\"docs\":" + nested(99) + "}", true},
        {"number overflow in a member that is not kept", R"({"idDeclaration":1,"docs":1e999})", false},
        {"cut off", R"({"idDeclaration":1,"number":"ab)", false},
        {"trailing text", R"({"idDeclaration":1} x)", false},
        {"HTML", "<html><body>Ведутся работы</body></html>", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const DetailReading reading = readKeptDeclarationDetail(c.text);
        EXPECT_FALSE(reading.outOfMemory);
        EXPECT_EQ(reading.detail.has_value(), c.detail);
        EXPECT_EQ(reading.detail, wholeDetailReduced(c.text));
    }
}

TEST(KeptDetail, KeptValuesAndOrder)
{
    const DetailReading reading = readKeptDeclarationDetail(
        R"({"pad":"zzz","applicant":{"documents":[1],"inn":"77","fullName":"\"Ромашка\"\u0021"},)"
        R"("number":"a","idDeclaration":5,"number":"b","product":{"identifications":[{"idTnveds":[3],"q":1},{}]}})");
    ASSERT_TRUE(reading.detail);
    EXPECT_EQ(reading.detail->dump(),
              R"({"idDeclaration":5,"number":"b","product":{"identifications":[{"idTnveds":[3]}]},)"
              R"("applicant":{"inn":"77","fullName":"\"Ромашка\"!"}})");
}

// A number of hundreds of digits reaches the parser shortened; it reads as the same double, the
// hard cases of rounding included: halfway between two doubles (which rounds to the even one) and
// just past halfway, at the bottom of the range and at its top (where the even one is infinity).
TEST(KeptDetail, LongNumbersReadAsTheSameDouble)
{
    const QByteArray halfMinimum = power(5, 1075) + "e-1075";                    // 2^-1075, rounds to 0
    const QByteArray pastHalfMinimum = power(5, 1075) + "1e-1076";               // rounds up to 2^-1074
    const QByteArray halfPastMaximum = times(power(2, 970), (quint64(1) << 54) - 1); // rounds to infinity
    QByteArray belowHalfPastMaximum = halfPastMaximum;
    belowHalfPastMaximum.back() = char(belowHalfPastMaximum.back() - 1);            // rounds to DBL_MAX
    const struct
    {
        const char *name;
        QByteArray number;
        bool read;
    } cases[] = {
        {"halfway above zero", halfMinimum, true},
        {"just past halfway above zero", pastHalfMinimum, true},
        {"halfway past the largest double", halfPastMaximum, false},
        {"just below halfway past the largest double", belowHalfPastMaximum, true},
        {"negative zero", "-0." + QByteArray(400, '0'), true},
        {"many digits after the first 800", "1." + QByteArray(900, '3') + "e-5", true},
        {"a tail of zeros past the first 800", "9." + QByteArray(799, '9') + QByteArray(200, '0') + "1", true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const QByteArray text = "{\"idDeclaration\":" + c.number + "}";
        ASSERT_GT(c.number.size(), 256);
        const std::optional<Json> whole = wholeDetailReduced(text);
        const DetailReading reading = readKeptDeclarationDetail(text);
        ASSERT_EQ(whole.has_value(), c.read);
        ASSERT_EQ(reading.detail.has_value(), c.read);
        if (!c.read)
            continue;
        const double expected = (*whole)["idDeclaration"].get<double>();
        const double read = (*reading.detail)["idDeclaration"].get<double>();
        EXPECT_EQ(std::memcmp(&expected, &read, sizeof read), 0) << expected << " " << read;
    }
}
