// Registry messages: every request body byte for byte, the URLs, and the reply readers over saved
// registry replies and over shapes the registry should not send but might.
#include "registryapi.h"

#include <QFile>
#include <gtest/gtest.h>
#include <limits>

using namespace Qt::StringLiterals;

namespace {

QByteArray fixture(const char *name)
{
    QFile file(QStringLiteral(TAVROSIN_FIXTURES_DIR "/registry/") + QLatin1String(name));
    if (!file.open(QIODevice::ReadOnly))
        ADD_FAILURE() << "missing fixture " << name;
    return file.readAll();
}

Json parsed(const QByteArray &text)
{
    const std::optional<Json> document = parseJson(text);
    EXPECT_TRUE(document.has_value()) << text.constData();
    return document.value_or(Json());
}

} // namespace

TEST(RegistryApi, LoginBody)
{
    EXPECT_EQ(loginBody(NetworkConfig{}), QByteArray(R"({"username":"anonymous","password":"vbnuwe3KTD58Ra"})"));

    // A configured value with a quote or backslash stays one JSON string.
    NetworkConfig odd;
    odd.loginUser = QStringLiteral("a\"b");
    odd.loginPassword = QStringLiteral("c\\d");
    const QByteArray body = loginBody(odd);
    EXPECT_EQ(body, QByteArray(R"({"username":"a\"b","password":"c\\d"})"));
    const Json document = parsed(body);
    EXPECT_EQ(document.at("username").get<std::string>(), "a\"b");
    EXPECT_EQ(document.at("password").get<std::string>(), "c\\d");

    // The other anonymous password goes in the same body.
    EXPECT_EQ(loginBody(NetworkConfig{}, alternateLoginPassword()),
              QByteArray(R"({"username":"anonymous","password":"hrgesf7HDR67Bd"})"));
}

TEST(RegistryApi, RegulationPageBody)
{
    EXPECT_EQ(regulationPageBody(0),
              QByteArray(R"({"sort":"sortIndex","offset":0,"limit":50,"attrs":[{"name":"docTypeId","operation":"in",)"
                         R"("value":[1,2]},{"name":"docStatusId","operation":"in","value":[1,2,9]}]})"));
    EXPECT_EQ(regulationPageBody(2),
              QByteArray(R"({"sort":"sortIndex","offset":100,"limit":50,"attrs":[{"name":"docTypeId","operation":"in",)"
                         R"("value":[1,2]},{"name":"docStatusId","operation":"in","value":[1,2,9]}]})"));
}

TEST(RegistryApi, SearchBody)
{
    const QByteArray withoutRegulation =
        R"({"size":100,"page":0,"count":1000,"filter":{"status":[6],"idDeclType":[],"idCertObjectType":[],)"
        R"("idProductType":[],"idGroupRU":[],"idGroupEEU":[],"idApplicantType":[],)"
        R"("regDate":{"minDate":null,"maxDate":null},"endDate":{"minDate":"2024-06-01","maxDate":"2024-06-06"},)"
        R"("columnsSearch":[{"name":"number","search":null,"type":0}],"number":null,"idProductOrigin":[],)"
        R"("idProductEEU":[],"idProductRU":[],"idDeclScheme":[],"awaitOperatorCheck":null,"editApp":null,)"
        R"("violationSendDate":null,"isProtocolInvalid":null,"checkerAIResult":null,)"
        R"("checkerAIProtocolsResults":null,"checkerAIProtocolsMistakes":null,"hiddenFromOpen":null},)"
        R"("columnsSort":[{"column":"id","sort":"ASC"}],"numberOfAllRecords":false})";
    const QByteArray withRegulations =
        R"({"size":100,"page":3,"count":1000,"filter":{"status":[6],"idDeclType":[],"idCertObjectType":[],)"
        R"("idProductType":[],"idGroupRU":[],"idGroupEEU":[],"idTechReg":[12,34],"idApplicantType":[],)"
        R"("regDate":{"minDate":null,"maxDate":null},"endDate":{"minDate":"2025-01-31","maxDate":"2025-02-05"},)"
        R"("columnsSearch":[{"name":"number","search":null,"type":0}],"number":null,"idProductOrigin":[],)"
        R"("idProductEEU":[],"idProductRU":[],"idDeclScheme":[],"awaitOperatorCheck":null,"editApp":null,)"
        R"("violationSendDate":null,"isProtocolInvalid":null,"checkerAIResult":null,)"
        R"("checkerAIProtocolsResults":null,"checkerAIProtocolsMistakes":null,"hiddenFromOpen":null},)"
        R"("columnsSort":[{"column":"id","sort":"ASC"}],"numberOfAllRecords":false})";

    const QByteArray first =
        searchBody(QStringLiteral("0"), QString(), QStringLiteral("2024-06-01"), QStringLiteral("2024-06-06"));
    const QByteArray third = searchBody(QStringLiteral("3"), QStringLiteral("12,34"), QStringLiteral("2025-01-31"),
                                        QStringLiteral("2025-02-05"));
    EXPECT_EQ(first, withoutRegulation);
    EXPECT_EQ(third, withRegulations);

    // Both are well-formed JSON, and the regulation filter is absent, not empty, without a selection.
    EXPECT_FALSE(parsed(first).at("filter").contains("idTechReg"));
    EXPECT_EQ(parsed(third).at("filter").at("idTechReg"), Json::parse("[12,34]"));
}

TEST(RegistryApi, LookupBodyFromSavedDetails)
{
    // The saved details all have a seat address (type 1) whose idSubject is null: its text "null" is sent.
    const struct
    {
        const char *file;
        QByteArray body;
    } cases[] = {
        {"detail-1.json",
         R"({"items":{"applicantType":[{"id":[1],"fields":["id","masterId","name"]}],)"
         R"("fiasAddrobj":[{"id":["null"],"fields":["id","masterId","name","offname","shortname","aolevel"]}],)"
         R"("tnved":[{"id":[64982],"fields":["id","masterId","name","code","hidden"]}],)"
         R"("techregProductListEEU":[{"id":[605],"fields":["id","masterId","name","techRegId","hidden"]}]}})"},
        {"detail-2.json",
         R"({"items":{"applicantType":[{"id":[1],"fields":["id","masterId","name"]}],)"
         R"("fiasAddrobj":[{"id":["null"],"fields":["id","masterId","name","offname","shortname","aolevel"]}],)"
         R"("tnved":[{"id":[64954],"fields":["id","masterId","name","code","hidden"]}],)"
         R"("techregProductListEEU":[{"id":[605],"fields":["id","masterId","name","techRegId","hidden"]}]}})"},
        {"detail-3.json",
         R"({"items":{"applicantType":[{"id":[1],"fields":["id","masterId","name"]}],)"
         R"("fiasAddrobj":[{"id":["null"],"fields":["id","masterId","name","offname","shortname","aolevel"]}],)"
         R"("tnved":[{"id":[68711],"fields":["id","masterId","name","code","hidden"]}],)"
         R"("techregProductListEEU":[{"id":[],"fields":["id","masterId","name","techRegId","hidden"]}]}})"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.file);
        const LookupBody lookup = lookupBody(parsed(fixture(c.file)));
        ASSERT_TRUE(lookup.ok) << lookup.error.toStdString();
        EXPECT_EQ(lookup.body, c.body);
        EXPECT_TRUE(lookup.error.isEmpty());
    }
}

TEST(RegistryApi, LookupBodyPieces)
{
    const QByteArray tail =
        R"("tnved":[{"id":[7],"fields":["id","masterId","name","code","hidden"]}],)"
        R"("techregProductListEEU":[{"id":[9],"fields":["id","masterId","name","techRegId","hidden"]}]}})";
    auto expected = [&](const QByteArray &legal, const QByteArray &subject) -> QByteArray {
        QByteArray body = R"({"items":{"applicantType":[{"id":[)" + legal + R"(],"fields":["id","masterId","name"]}],)";
        if (!subject.isEmpty())
            body += R"("fiasAddrobj":[{"id":[")" + subject +
                    R"("],"fields":["id","masterId","name","offname","shortname","aolevel"]}],)";
        return body + tail;
    };
    auto detail = [](const char *applicant) -> QByteArray {
        return R"({"idGroups":[9],"product":{"identifications":[{"idTnveds":[7]}]},"applicant":)" +
               QByteArray(applicant) + "}";
    };
    const struct
    {
        const char *name;
        const char *applicant;
        QByteArray body;
    } cases[] = {
        {"only a place of business: no fiasAddrobj",
         R"({"idLegalSubjectType":1,"addresses":[{"idAddrType":3,"idSubject":"x"}]})", expected("1", {})},
        {"first seat address wins",
         R"({"idLegalSubjectType":2,"addresses":[{"idAddrType":3,"idSubject":"a"},)"
         R"({"idAddrType":1,"idSubject":"b-guid"},{"idAddrType":1,"idSubject":"c"}]})",
         expected("2", "b-guid")},
        {"type as a string", R"({"idLegalSubjectType":"3","addresses":[{"idAddrType":"1","idSubject":"s"}]})",
         expected("3", "s")},
        {"seat without idSubject: no fiasAddrobj", R"({"idLegalSubjectType":1,"addresses":[{"idAddrType":1}]})",
         expected("1", {})},
        {"addresses not an array", R"({"idLegalSubjectType":1,"addresses":{"idAddrType":1,"idSubject":"s"}})",
         expected("1", {})},
        {"addresses null", R"({"idLegalSubjectType":1,"addresses":null})", expected("1", {})},
        {"odd address elements", R"({"idLegalSubjectType":1,"addresses":[null,5,"1",{"idAddrType":1,"idSubject":4}]})",
         expected("1", "4")},
        {"missing idLegalSubjectType", R"({"addresses":[]})", expected({}, {})},
        {"null idLegalSubjectType", R"({"idLegalSubjectType":null})", expected("null", {})},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const LookupBody lookup = lookupBody(parsed(detail(c.applicant)));
        ASSERT_TRUE(lookup.ok) << lookup.error.toStdString();
        EXPECT_EQ(lookup.body, c.body);
    }

    // Arrays go in as compact JSON, whatever blanks the reply had.
    const LookupBody groups = lookupBody(parsed(R"({"idGroups": [ 101, 102 ], "product": {"identifications":)"
                                                R"( [{"idTnveds": [1, 2]}, {"idTnveds": [3]}]}, "applicant": {}})"));
    ASSERT_TRUE(groups.ok);
    EXPECT_EQ(
        groups.body,
        QByteArray(
            R"({"items":{"applicantType":[{"id":[],"fields":["id","masterId","name"]}],)"
            R"("tnved":[{"id":[1,2],"fields":["id","masterId","name","code","hidden"]}],)"
            R"("techregProductListEEU":[{"id":[101,102],"fields":["id","masterId","name","techRegId","hidden"]}]}})"));
}

TEST(RegistryApi, LookupBodyCannotBeComposed)
{
    const struct
    {
        const char *name;
        const char *detail;
    } cases[] = {
        {"no idGroups", R"({"product":{"identifications":[{"idTnveds":[7]}]},"applicant":{}})"},
        {"no applicant", R"({"idGroups":[9],"product":{"identifications":[{"idTnveds":[7]}]}})"},
        {"applicant null", R"({"idGroups":[9],"product":{"identifications":[{"idTnveds":[7]}]},"applicant":null})"},
        {"no product", R"({"idGroups":[9],"applicant":{}})"},
        {"no identifications", R"({"idGroups":[9],"product":{"identifications":[]},"applicant":{}})"},
        {"identifications not an array",
         R"({"idGroups":[9],"product":{"identifications":{"idTnveds":[7]}},"applicant":{}})"},
        {"no idTnveds", R"({"idGroups":[9],"product":{"identifications":[{"x":1},{"idTnveds":[7]}]},"applicant":{}})"},
        {"not an object", R"([{"idGroups":[9]}])"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const LookupBody lookup = lookupBody(parsed(c.detail));
        EXPECT_FALSE(lookup.ok);
        EXPECT_TRUE(lookup.body.isEmpty());
        EXPECT_FALSE(lookup.error.isEmpty());
    }
}

TEST(RegistryApi, Urls)
{
    const QString base = QStringLiteral("https://127.0.0.1:8443");
    EXPECT_EQ(loginUrl(base), u"https://127.0.0.1:8443/login");
    EXPECT_EQ(regulationPageUrl(base), u"https://127.0.0.1:8443/nsi/api/dicNormDoc/get");
    EXPECT_EQ(searchUrl(base), u"https://127.0.0.1:8443/api/v1/rds/common/declarations/get");
    EXPECT_EQ(detailUrl(base, QStringLiteral("12345")), u"https://127.0.0.1:8443/api/v1/rds/common/declarations/12345");
    EXPECT_EQ(lookupUrl(base), u"https://127.0.0.1:8443/nsi/api/multi");
    EXPECT_EQ(declarationReferer(base), u"https://127.0.0.1:8443/rds/declaration");
    EXPECT_EQ(declarationViewUrl(base, QStringLiteral("17639770")),
              u"https://127.0.0.1:8443/rds/declaration/view/17639770/applicant");
    EXPECT_EQ(loginUrl(NetworkConfig{}.registryUrl), u"https://pub.fsa.gov.ru/login");

    EXPECT_EQ(registryAccept(), u"text/html, */*");
    EXPECT_EQ(registryUserAgent(), u"Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
                                   u"Chrome/109.0.0.0 Safari/537.36");
}

TEST(RegistryApi, AuthorizationAndToken)
{
    const struct
    {
        const char *headers;
        const char *authorization;
    } headerCases[] = {
        {"HTTP/1.1 200 OK\r\nServer: nginx\r\nAuthorization: Bearer a.b.c\r\nPragma: no-cache\r\n\r\n", "Bearer a.b.c"},
        {"HTTP/1.1 200 OK\r\nAuthorization:\t Bearer x \t\r\n", "Bearer x"},
        {"HTTP/1.1 200 OK\r\nAuthorization: first\r\nAuthorization: second\r\n", "first"},
        {"HTTP/1.1 401 Unauthorized\r\nServer: nginx\r\n\r\n", ""},
        {"HTTP/1.1 200 OK\r\nauthorization: Bearer lower\r\n", ""}, // the name is matched in exact letter case
        {"HTTP/1.1 200 OK\r\nAuthorization: \r\n", ""},
    };
    for (const auto &c : headerCases) {
        SCOPED_TRACE(c.headers);
        EXPECT_EQ(authorizationFromHeaders(QString::fromUtf8(c.headers)), QString::fromUtf8(c.authorization));
    }

    const struct
    {
        const char *authorization;
        const char *token;
    } tokenCases[] = {
        {"Bearer eyJ.eyJ.sig", "eyJ.eyJ.sig"}, {"Basic abc", ""}, {"", ""}, {"bearer abc", ""}, {"Bearer ", ""},
        {"x Bearer a Bearer b", "a Bearer b"},
    };
    for (const auto &c : tokenCases) {
        SCOPED_TRACE(c.authorization);
        EXPECT_EQ(bearerToken(QString::fromUtf8(c.authorization)), QString::fromUtf8(c.token));
    }
}

TEST(RegistryApi, TokenExpiryIsDecodedNeverVerified)
{
    const auto jwt = [](const QByteArray &payload) {
        const auto part = [](const QByteArray &text) {
            return text.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
        };
        return QString::fromLatin1(part(R"({"alg":"HS512"})") + '.' + part(payload) + ".not-a-signature");
    };
    // The saved login reply's token: its exp is 8 hours after the reply's Date (17 May 2023 20:29:26 GMT).
    const QString saved = u"eyJhbGciOiJIUzUxMiJ9.eyJpc3MiOiJmNmRhODhmOS0zNzY2LTRlNTctODQ1Mi1iYjVjOTdhMzhhMGQiLCJzdWIiOiJh"
                          u"bm9ueW1vdXMiLCJleHAiOjE2ODQzODQxNjZ9.9CAB2979PtpONoRFwJFNR44SvwcS_r0-QmhoDFwJ0GTbgoeNfs282Nfke5I"
                          u"01bg19a9Zd3UEwA-D12gI05pUxA"_qs;
    const struct
    {
        const char *name;
        QString token;
        std::optional<qint64> exp;
    } cases[] = {
        {"saved login reply", saved, 1684384166},
        {"exp among other claims", jwt(R"({"sub":"anonymous","exp":1700000000,"iat":1})"), 1700000000},
        {"exp a fraction", jwt(R"({"exp":1700000000.9})"), 1700000000},
        {"no exp", jwt(R"({"sub":"anonymous"})"), std::nullopt},
        {"exp a string", jwt(R"({"exp":"1700000000"})"), std::nullopt},
        {"exp negative", jwt(R"({"exp":-5})"), std::nullopt},
        {"exp past any date", jwt(R"({"exp":1e300})"), std::nullopt},
        {"payload not JSON", jwt("exp=1700000000"), std::nullopt},
        {"payload an array", jwt("[1700000000]"), std::nullopt},
        {"payload not base64url", u"a.b$c.d"_qs, std::nullopt},
        {"two parts", u"eyJhbGciOiJIUzUxMiJ9.eyJleHAiOjE3MDAwMDAwMDB9"_qs, std::nullopt},
        {"opaque token", u"0f3a9c"_qs, std::nullopt},
        {"empty", QString(), std::nullopt},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::optional<QDateTime> expiry = tokenExpiry(c.token);
        ASSERT_EQ(expiry.has_value(), c.exp.has_value());
        if (expiry) {
            EXPECT_EQ(expiry->toSecsSinceEpoch(), *c.exp);
        }
    }
}

TEST(RegistryApi, SessionCookieAndRetryAfterFromHeaderLines)
{
    const struct
    {
        const char *headers;
        const char *cookie;
    } cookieCases[] = {
        {"HTTP/1.1 200 OK\r\nSet-Cookie: session-cookie=17c3a9; Max-Age=86400; Path=/; Secure; HttpOnly\r\n",
         "session-cookie=17c3a9"},
        {"HTTP/1.1 200 OK\r\nSet-Cookie: JSESSIONID=1; Path=/\r\nset-cookie: session-cookie=ab\r\n", "session-cookie=ab"},
        {"HTTP/1.1 200 OK\r\nSet-Cookie: other-session-cookie=1\r\n", ""},
        {"HTTP/1.1 200 OK\r\nSet-Cookie: session-cookie=; Path=/\r\n", ""},
        {"HTTP/1.1 200 OK\r\nX-Note: session-cookie=1\r\n", ""},
        {"", ""},
    };
    for (const auto &c : cookieCases) {
        SCOPED_TRACE(c.headers);
        EXPECT_EQ(sessionCookieFromHeaders(QString::fromUtf8(c.headers)), QString::fromUtf8(c.cookie));
    }

    const QDateTime now = QDateTime::fromString(u"2026-03-02T10:00:00Z"_qs, Qt::ISODate);
    const struct
    {
        const char *headers;
        std::optional<qint64> seconds;
    } waitCases[] = {
        {"HTTP/1.1 429 Too Many Requests\r\nRetry-After: 120\r\n", 120},
        {"HTTP/1.1 503 Service Unavailable\r\nretry-after: 0\r\n", 0},
        {"HTTP/1.1 429 \r\nRetry-After: Mon, 02 Mar 2026 10:01:30 GMT\r\n", 90},
        {"HTTP/1.1 429 \r\nRetry-After: Mon, 02 Mar 2026 09:00:00 GMT\r\n", 0}, // already past
        {"HTTP/1.1 429 \r\nRetry-After: Mon, 02 Mar 2026 13:00:10 +0300\r\n", 10},
        {"HTTP/1.1 429 \r\nRetry-After: -3\r\n", std::nullopt},
        {"HTTP/1.1 429 \r\nRetry-After: soon\r\n", std::nullopt},
        {"HTTP/1.1 429 \r\nRetry-After: \r\n", std::nullopt},
        {"HTTP/1.1 429 Too Many Requests\r\n", std::nullopt},
    };
    for (const auto &c : waitCases) {
        SCOPED_TRACE(c.headers);
        EXPECT_EQ(retryAfterSeconds(QString::fromUtf8(c.headers), now), c.seconds);
    }
}

// The wait a Retry-After value becomes: never negative, never past the cap, and a value too big for
// milliseconds is clamped before it is multiplied (it used to overflow into a negative wait).
TEST(RegistryApi, RetryAfterWaitStaysWithinTheCap)
{
    const QDateTime now = QDateTime::fromString(u"2026-03-02T10:00:00Z"_qs, Qt::ISODate);
    constexpr qint64 cap = 300000;
    const struct
    {
        const char *value;
        qint64 waitMs; // -1: no Retry-After to honour
    } cases[] = {
        {"7", 7000},
        {"300", 300000},
        {"301", 300000},
        {"9223372036854775807", 300000},         // qint64's maximum: times 1000 overflowed
        {"9223372036854775", 300000},            // times 1000 lands just below the maximum
        {"18446744073709551616", -1},            // past qint64: no number, no date
        {"-1", -1},
        {"-9223372036854775808", -1},
        {"0", 0},
        {"Mon, 02 Mar 2026 10:00:42 GMT", 42000}, // a date ahead
        {"Mon, 02 Mar 2026 09:59:00 GMT", 0},     // a date past
        {"Fri, 31 Dec 9999 23:59:59 GMT", 300000},
        {"Thu, 01 Jan 1970 00:00:00 GMT", 0},
        {"1e9", -1},
        {"  12  ", 12000},
        {"\x01\x7f", -1},
        {"12 apples", -1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.value);
        const std::optional<qint64> seconds =
            retryAfterSeconds(u"HTTP/1.1 429 \r\nRetry-After: "_s + QString::fromLatin1(c.value) + u"\r\n"_s, now);
        if (c.waitMs < 0) {
            EXPECT_EQ(seconds, std::nullopt);
            continue;
        }
        ASSERT_TRUE(seconds);
        EXPECT_EQ(retryAfterWaitMs(*seconds, cap), c.waitMs);
    }
    EXPECT_EQ(retryAfterWaitMs(std::numeric_limits<qint64>::max(), 1500), 1500);
    EXPECT_EQ(retryAfterWaitMs(std::numeric_limits<qint64>::min(), 1500), 0);
    EXPECT_EQ(retryAfterWaitMs(1, 1500), 1000);
    EXPECT_EQ(retryAfterWaitMs(2, 1500), 1500);
}

TEST(RegistryApi, SearchPageFromSavedReplies)
{
    const SearchPage first = readSearchPage(QString::fromUtf8(fixture("search-1.json")));
    EXPECT_TRUE(first.parsed);
    ASSERT_EQ(first.count(), 1);
    EXPECT_EQ(first.items[0].id, u"17718522");
    EXPECT_EQ(first.items[0].applicantName, u"ОБЩЕСТВО С ОГРАНИЧЕННОЙ ОТВЕТСТВЕННОСТЬЮ \"ЛАДОГА ГРУПП\"");
    EXPECT_EQ(first.total, 10000000); // not a count, read as given

    const SearchPage second = readSearchPage(QString::fromUtf8(fixture("search-2.json")));
    EXPECT_TRUE(second.parsed);
    ASSERT_EQ(second.count(), 1);
    EXPECT_EQ(second.items[0].id, u"17259030");
    EXPECT_EQ(second.items[0].applicantName, u"ОБЩЕСТВО С ОГРАНИЧЕННОЙ ОТВЕТСТВЕННОСТЬЮ \"СЕЛИГЕР-ИЛЬМЕНЬ\"");
    EXPECT_EQ(second.total, 1000);
}

TEST(RegistryApi, SearchPageOddShapes)
{
    using Items = QList<std::pair<const char *, const char *>>;
    const struct
    {
        const char *name;
        const char *body;
        bool parsed;
        Items items;
        std::int64_t total;
    } cases[] = {
        {"empty body", "", false, {}, 0},
        {"html error page", "<html><body>502 Bad Gateway</body></html>", false, {}, 0},
        {"cut off", R"({"items":[{"id":1,"applicantName":"A"})", false, {}, 0},
        {"top level array", R"([{"items":[]}])", false, {}, 0},
        {"top level string", R"("items")", false, {}, 0},
        {"items null, total a string", R"({"items":null,"total":"250"})", true, {}, 0},
        // A page is an object whose items is an array (or null): anything else is no page, and its
        // total is not believed either.
        {"items an object, total null", R"({"items":{"id":1},"total":null})", false, {}, 0},
        {"items missing", R"({"total":250})", false, {}, 0},
        {"total an object", R"({"items":[],"total":{"value":3}})", true, {}, 0},
        {"total past 32 bits", R"({"items":[],"total":10000000000})", true, {}, 10000000000},
        {"total a fraction", R"({"items":[],"total":12.7})", true, {}, 12},
        {"odd elements",
         R"({"items":[null,5,"x",{"id":null,"applicantName":7},{"id":{"a":1},"applicantName":[1, 2]},{}],"total":6})",
         true,
         {{"", ""}, {"", ""}, {"", ""}, {"null", "7"}, {R"({"a":1})", "[1,2]"}, {"", ""}},
         6},
        {"string id",
         R"({"items":[{"id":"0042","applicantName":"ООО \"Ромашка\""}],"total":1})",
         true,
         {{"0042", "ООО \"Ромашка\""}},
         1},
        {"2025 shape",
         R"({"items":[{"id":7,"applicantName":"А","applicantInn":"7701234567"},{"id":8,"applicantName":"Б","applicantInn":null}],"total":2})",
         true,
         {{"7", "А"}, {"8", "Б"}},
         2},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const SearchPage page = readSearchPage(QString::fromUtf8(c.body));
        EXPECT_EQ(page.parsed, c.parsed);
        EXPECT_EQ(page.total, c.total);
        ASSERT_EQ(page.count(), c.items.size());
        for (qsizetype i = 0; i < page.count(); ++i) {
            EXPECT_EQ(page.items[i].id, QString::fromUtf8(c.items[i].first));
            EXPECT_EQ(page.items[i].applicantName, QString::fromUtf8(c.items[i].second));
        }
        // Only the 2025 shape carries the INN; a null reads as the text "null", as every text does.
        const QStringList inns = {page.items.value(0).applicantInn, page.items.value(1).applicantInn};
        const QStringList expected = QByteArray(c.name) == "2025 shape"
                                         ? QStringList({u"7701234567"_qs, u"null"_qs})
                                         : QStringList({QString(), QString()});
        EXPECT_EQ(inns, expected);
    }
}

// Only the dictionary's JSON with its "items" array is a page; anything else says why it is not.
TEST(RegistryApi, RegulationPageShapes)
{
    using Items = QList<std::pair<const char *, const char *>>;
    const char *const notJson = "ответ не в формате JSON";
    const char *const noItems = "в ответе нет массива items";
    const struct
    {
        const char *name;
        const char *body;
        const char *problem; // nullptr: a page
        Items items;
    } cases[] = {
        {"numbers and strings",
         R"({"items":[{"id":12,"displayName":"ТР ТС 004/2011"},{"id":"13","displayName":null},{"displayName":"Без id"}],"total":3})",
         nullptr,
         {{"12", "ТР ТС 004/2011"}, {"13", "null"}, {"", "Без id"}}},
        {"odd elements",
         R"({"items":[null,[1],{"id":[1,2],"displayName":{"ru":"x"}}]})",
         nullptr,
         {{"", ""}, {"", ""}, {"[1,2]", R"({"ru":"x"})"}}},
        {"empty page: the end of the list", R"({"items":[]})", nullptr, {}},
        {"items an object", R"({"items":{"id":1}})", noItems, {}},
        {"items missing", R"({"total":0})", noItems, {}},
        {"an empty object", "{}", noItems, {}},
        {"array", R"([{"id":1}])", noItems, {}},
        {"not JSON", "Service Unavailable", notJson, {}},
        {"HTML", "<!DOCTYPE html><html><body>Технические работы</body></html>", notJson, {}},
        {"cut off", R"({"items":[{"id":12,"displayName":"ТР ТС 004/2011"},{"id":13,"displ)", notJson, {}},
        {"empty", "", "пустой ответ", {}},
        {"blank lines", "\r\n\r\n", "пустой ответ", {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const RegulationPage page = readRegulationPage(QByteArray(c.body));
        EXPECT_EQ(page.parsed, c.problem == nullptr);
        EXPECT_EQ(page.problem, QString::fromUtf8(c.problem ? c.problem : ""));
        ASSERT_EQ(page.count(), c.items.size());
        for (qsizetype i = 0; i < page.count(); ++i) {
            EXPECT_EQ(page.items[i].id, QString::fromUtf8(c.items[i].first));
            EXPECT_EQ(page.items[i].displayName, QString::fromUtf8(c.items[i].second));
        }
    }
}
