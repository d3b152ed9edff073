// The JSON adapter: text of a value, parse-or-nothing, paths, integer and truth rules, and the saved
// registry replies read through it.
#include "fixtures.h"
#include "json.h"

#include <gtest/gtest.h>
#include <limits>

using namespace Qt::StringLiterals;

namespace {

const QByteArray sample = R"({
    "s": "Ромашка \"кв\"", "empty": "", "i": 1, "big": 9007199254740993, "huge": 18446744073709551615,
    "neg": -42, "frac": 1.5, "negfrac": -2.7, "exp": 1e300, "n": null, "t": true, "f": false,
    "numtext": "100", "a": [1, 2 , "x"],
    "o": {"z": 1, "a": {"k": "в"}, "m": [ ]}
})";

class JsonTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        auto parsed = parseJson(sample);
        ASSERT_TRUE(parsed.has_value());
        doc = std::move(*parsed);
    }
    const Json *at(std::string_view path) const { return jsonPath(doc, path); }
    Json doc;
};

TEST_F(JsonTest, TextOfAValue)
{
    const struct
    {
        const char *path;
        QString text;
    } cases[] = {
        {"s", u"Ромашка \"кв\""_s},
        {"empty", QString()},
        {"i", u"1"_s},
        {"big", u"9007199254740993"_s}, // a double would give ...992
        {"huge", u"18446744073709551615"_s},
        {"neg", u"-42"_s},
        {"frac", u"1.5"_s},
        {"n", u"null"_s},
        {"t", u"true"_s},
        {"f", u"false"_s},
        {"a", u"[1,2,\"x\"]"_s},
        {"o", u"{\"z\":1,\"a\":{\"k\":\"в\"},\"m\":[]}"_s}, // member order as received, Cyrillic as is
        {"o.m", u"[]"_s},
        {"missing", QString()},
        {"o.a.k", u"в"_s},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(jsonText(at(c.path)), c.text);
    }
    EXPECT_EQ(jsonText(nullptr), QString());
}

TEST_F(JsonTest, CompactTextNeverThrowsOnBadUtf8)
{
    // Parsing rejects invalid UTF-8, but a document built in code can hold it.
    const Json built = Json::array({std::string("ok\xff")});
    QString text;
    EXPECT_NO_THROW(text = jsonText(&built));
    EXPECT_EQ(text, u"[\"ok\uFFFD\"]"_s);
}

TEST(JsonParse, NotJsonGivesNothing)
{
    const struct
    {
        const char *name;
        QByteArray text;
    } cases[] = {
        {"garbage", "<html>502 Bad Gateway</html>"},
        {"empty", ""},
        {"blanks", "  \r\n"},
        {"truncated", R"({"items":[{"id":1},)"},
        {"trailing text", R"({"a":1} tail)"},
        {"invalid UTF-8 in a string", "\"\xff\xfe\""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(parseJson(c.text).has_value());
        if (c.text.isValidUtf8()) {
            EXPECT_FALSE(parseJson(QString::fromUtf8(c.text)).has_value());
        }
    }
    const auto number = parseJson(u" 42 "_s);
    ASSERT_TRUE(number.has_value());
    EXPECT_EQ(jsonText(&*number), u"42"_s);
}

TEST_F(JsonTest, PathsStopAtMissingMembersAndNonObjects)
{
    EXPECT_NE(at("o.a"), nullptr);
    EXPECT_EQ(at("o.missing.k"), nullptr);
    EXPECT_EQ(at("s.length"), nullptr); // through a string
    EXPECT_EQ(at("a.0"), nullptr);      // through an array: paths name members only
    EXPECT_EQ(at("n.x"), nullptr);      // through null
    EXPECT_EQ(jsonPath(static_cast<const Json *>(nullptr), "o"), nullptr);
    EXPECT_EQ(jsonPath(at("o"), "a.k"), at("o.a.k"));
}

TEST_F(JsonTest, IntegerAndTruthRules)
{
    const struct
    {
        const char *path;
        std::int64_t integer;
        bool truth;
    } cases[] = {
        {"i", 1, false},
        {"neg", -42, false},
        {"big", 9007199254740993, false},
        {"frac", 1, false},
        {"negfrac", -2, false}, // the fraction is dropped, toward zero
        {"exp", std::numeric_limits<std::int64_t>::max(), false},
        {"huge", std::numeric_limits<std::int64_t>::max(), false},
        {"numtext", 0, false}, // a string is not a number
        {"n", 0, false},
        {"t", 0, true},
        {"f", 0, false},
        {"a", 0, false},
        {"missing", 0, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(jsonInteger(at(c.path)), c.integer);
        EXPECT_EQ(jsonTruth(at(c.path)), c.truth);
    }
}

TEST_F(JsonTest, ArrayHelpers)
{
    const Json *array = jsonArray(at("a"));
    ASSERT_NE(array, nullptr);
    EXPECT_EQ(jsonLength(array), 3u);
    EXPECT_EQ(jsonText(jsonElement(array, 0)), u"1"_s);
    EXPECT_EQ(jsonText(jsonElement(array, 2)), u"x"_s);
    EXPECT_EQ(jsonElement(array, 3), nullptr);

    for (const char *notArray : {"o", "s", "n", "missing"}) {
        SCOPED_TRACE(notArray);
        EXPECT_EQ(jsonArray(at(notArray)), nullptr);
        EXPECT_EQ(jsonLength(at(notArray)), 0u);
        EXPECT_EQ(jsonElement(at(notArray), 0), nullptr);
    }
    EXPECT_EQ(jsonLength(at("o.m")), 0u);
    EXPECT_EQ(jsonElement(at("o.m"), 0), nullptr);
}

TEST(JsonFixtures, DetailReply)
{
    const auto doc = parseJson(readFixture(u"registry/detail-1.json"_s));
    ASSERT_TRUE(doc.has_value());
    EXPECT_EQ(jsonText(jsonPath(*doc, "idDeclaration")), u"17639770"_s);
    EXPECT_EQ(jsonText(jsonPath(*doc, "number")), u"ЕАЭС N RU Д-RU.РА03.В.40610/23"_s);
    EXPECT_EQ(jsonText(jsonPath(*doc, "idTechnicalReglaments")), u"[28]"_s); // pretty-printed in the file
    EXPECT_EQ(jsonText(jsonPath(*doc, "idGroups")), u"[605]"_s);
    EXPECT_EQ(jsonText(jsonPath(*doc, "submissionDate")), u"null"_s);
    EXPECT_EQ(jsonText(jsonPath(*doc, "applicant.inn")), u"7887463387"_s);
    EXPECT_EQ(jsonText(jsonPath(*doc, "applicant.idLegalSubjectType")), u"1"_s);
    EXPECT_EQ(jsonText(jsonPath(*doc, "applicant.shortName")), u"ООО \"ВОЛХОВ\""_s);
    EXPECT_TRUE(jsonTruth(jsonPath(*doc, "applicant.applicantHead")));

    const Json *identification = jsonElement(jsonArray(jsonPath(*doc, "product.identifications")), 0);
    EXPECT_EQ(jsonText(jsonPath(identification, "idTnveds")), u"[64982]"_s);

    const Json *contacts = jsonArray(jsonPath(*doc, "applicant.contacts"));
    ASSERT_EQ(jsonLength(contacts), 2u);
    EXPECT_EQ(jsonText(jsonPath(jsonElement(contacts, 0), "idContactType")), u"4"_s);
    EXPECT_EQ(jsonText(jsonPath(jsonElement(contacts, 1), "value")), u"+78467424236"_s);

    const auto national = parseJson(readFixture(u"registry/detail-3.json"_s));
    ASSERT_TRUE(national.has_value());
    EXPECT_EQ(jsonText(jsonPath(*national, "idTechnicalReglaments")), u"[]"_s);
}

TEST(JsonFixtures, SearchReply)
{
    const auto doc = parseJson(readFixture(u"registry/search-1.json"_s));
    ASSERT_TRUE(doc.has_value());
    EXPECT_EQ(jsonInteger(jsonPath(*doc, "total")), 10000000);
    const Json *items = jsonArray(jsonPath(*doc, "items"));
    ASSERT_EQ(jsonLength(items), 1u);
    EXPECT_EQ(jsonText(jsonPath(jsonElement(items, 0), "id")), u"17718522"_s);
    EXPECT_EQ(jsonText(jsonPath(jsonElement(items, 0), "applicantName")),
              u"ОБЩЕСТВО С ОГРАНИЧЕННОЙ ОТВЕТСТВЕННОСТЬЮ \"ЛАДОГА ГРУПП\""_s);
    // Odd whitespace comes through untouched.
    EXPECT_TRUE(jsonText(jsonPath(jsonElement(items, 0), "applicantAddress")).contains(QChar(0x00A0)));
    EXPECT_TRUE(jsonText(jsonPath(jsonElement(items, 0), "productFullName")).contains(u'\n'));
    EXPECT_EQ(jsonText(jsonPath(jsonElement(items, 0), "unpublishedChanges")), u"null"_s);
}

} // namespace
