// Replies that fuzzing found to break a registry reader, kept as small cases: each failed before
// its fix.
#include "qtprinters.h"
#include "registryapi.h"

#include <gtest/gtest.h>

namespace {

QByteArray nested(int depth)
{
    return QByteArray(depth, '[') + QByteArray(depth, ']');
}

} // namespace

// A value nested very deep, followed by another member of its object, overflowed the stack while
// the reply was parsed (the parser copies the members when an object grows, one call per level).
// Such a reply now reads as no JSON; ordinary nesting still reads as before.
TEST(FuzzRegressions, DeeplyNestedRepliesReadAsNoJson)
{
    const int deep = 100000;

    const QByteArray search = R"({"items":[{"id":)" + nested(deep) + R"(,"applicantName":"x"}],"total":1})";
    const SearchPage page = readSearchPage(QString::fromUtf8(search));
    EXPECT_FALSE(page.parsed);
    EXPECT_TRUE(page.items.isEmpty());

    const QByteArray regulations = R"({"items":[{"id":)" + nested(deep) + R"(,"displayName":"x"}]})";
    EXPECT_FALSE(readRegulationPage(regulations).parsed);

    const QByteArray detail = R"({"idGroups":)" + nested(deep) +
                              R"(,"product":{"identifications":[{"idTnveds":[1]}]},"applicant":{"inn":"1"}})";
    EXPECT_FALSE(parseJson(detail).has_value());
    EXPECT_FALSE(parseJson(QByteArray(deep, '{')).has_value());

    const QByteArray ordinary = R"({"items":[{"id":)" + nested(50) + R"(,"applicantName":"x"}],"total":1})";
    const SearchPage read = readSearchPage(QString::fromUtf8(ordinary));
    ASSERT_TRUE(read.parsed);
    ASSERT_EQ(read.count(), 1);
    EXPECT_EQ(read.items.at(0).id, QString::fromLatin1(nested(50)));
    EXPECT_EQ(read.items.at(0).applicantName, u"x");
}
