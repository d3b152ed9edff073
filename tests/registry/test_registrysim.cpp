// registry-sim, the double that every end-to-end test and the demo talk to: its data set, and its
// endpoints over real TLS on 127.0.0.1, driven by the program's own HTTPS client and request builders.
#include "fixtures.h"
#include "httpclient.h"
#include "registryapi.h"
#include "registrysim.h"

#include <QFile>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <csignal>
#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace {

const QDate kToday(2025, 3, 1);

SimOptions simOptions(int declarations = 1500, int applicants = 300, quint64 seed = 7)
{
    SimOptions options;
    options.dataset.declarations = declarations;
    options.dataset.applicants = applicants;
    options.dataset.seed = seed;
    options.dataset.today = kToday;
    return options;
}

std::string str(const SimJson &json)
{
    return json.is_string() ? json.get<std::string>() : json.dump();
}

QString qstr(const SimJson &json)
{
    return QString::fromStdString(str(json));
}

struct Reply
{
    HttpResult result;
    QByteArray body;
    QString headers;
};

// One request with a client of its own, as the program makes them: TLS without verification.
Reply send(const QString &url, const QByteArray *body, const QByteArray &token = {}, bool withAuthorization = true,
           int timeoutSeconds = 30)
{
    HttpClient client(TlsOptions{false, {}});
    client.setUrl(url);
    client.setTimeout(timeoutSeconds);
    client.setContentType(u"application/json"_s);
    if (withAuthorization)
        client.addHeaderLine(u"Authorization: Bearer "_s + QString::fromLatin1(token));
    Reply reply;
    reply.result = body ? client.post(*body, reply.body) : client.get(reply.body);
    reply.headers = client.receivedHeaders();
    return reply;
}

Reply post(const QString &url, const QByteArray &body, const QByteArray &token = {}, bool withAuthorization = true)
{
    return send(url, &body, token, withAuthorization);
}

Reply get(const QString &url, const QByteArray &token = {}, bool withAuthorization = true)
{
    return send(url, nullptr, token, withAuthorization);
}

QByteArray logIn(const RegistrySim &sim)
{
    HttpClient client(TlsOptions{false, {}});
    client.setUrl(loginUrl(sim.baseUrl()));
    QByteArray received;
    const HttpResult result = client.post(loginBody(NetworkConfig{}), received);
    EXPECT_TRUE(result.ok) << result.error.toStdString();
    EXPECT_EQ(result.status, 200);
    EXPECT_TRUE(received.isEmpty());
    return bearerToken(authorizationFromHeaders(client.receivedHeaders())).toLatin1();
}

SimJson parse(const QByteArray &body)
{
    return SimJson::parse(body.constData(), body.constData() + body.size(), nullptr, false);
}

std::vector<std::string> keysOf(const SimJson &object)
{
    std::vector<std::string> keys;
    if (object.is_object()) {
        for (auto it = object.begin(); it != object.end(); ++it)
            keys.push_back(it.key());
    }
    return keys;
}

// What a search must find: in force (status 6), an end date in [from, to], and one of the regulations
// when any are given. Worked out from the data set's facts, which the search items and details show
// (HoldsTheShapesThatMatterDownstream checks that they do).
QList<qint64> expectedIds(const Dataset &data, const QString &from, const QString &to, const QList<qint64> &regs)
{
    const QDate first = QDate::fromString(from, u"yyyy-MM-dd");
    const QDate last = QDate::fromString(to, u"yyyy-MM-dd");
    QList<qint64> ids;
    for (const SimDeclaration &decl : data.declarations()) {
        if (decl.status != 6 || decl.endDate < first || decl.endDate > last)
            continue;
        if (regs.isEmpty() || std::any_of(decl.regulationIds.cbegin(), decl.regulationIds.cend(),
                                          [&](qint64 reg) { return regs.contains(reg); }))
            ids.append(decl.id);
    }
    return ids;
}

class RegistrySimTest : public ::testing::Test
{
protected:
    void startSim(SimOptions options = simOptions())
    {
        sim = std::make_unique<RegistrySim>(std::move(options));
        QString error;
        ASSERT_TRUE(sim->start(&error)) << error.toStdString();
    }
    std::unique_ptr<RegistrySim> sim;
};

} // namespace

TEST(RegistrySimDataset, SameSeedSameDataOtherSeedOtherData)
{
    const DatasetOptions options = simOptions(200, 50, 42).dataset;
    const Dataset a = Dataset::generate(options);
    const Dataset b = Dataset::generate(options);
    ASSERT_EQ(a.declarations().size(), 200);
    ASSERT_EQ(b.declarations().size(), 200);
    for (qsizetype i = 0; i < a.declarations().size(); ++i) {
        SCOPED_TRACE(i);
        const SimDeclaration &x = a.declarations()[i];
        const SimDeclaration &y = b.declarations()[i];
        ASSERT_EQ(x.id, y.id);
        ASSERT_EQ(a.searchItem(x).dump(), b.searchItem(y).dump());
        ASSERT_EQ(a.detail(x).dump(), b.detail(y).dump());
    }
    ASSERT_EQ(a.regulations().size(), b.regulations().size());
    for (qsizetype i = 0; i < a.regulations().size(); ++i)
        EXPECT_EQ(a.regulations()[i].displayName, b.regulations()[i].displayName);

    DatasetOptions other = options;
    other.seed = 43;
    const Dataset c = Dataset::generate(other);
    int differing = 0;
    for (qsizetype i = 0; i < c.declarations().size(); ++i)
        differing += a.detail(a.declarations()[i]).dump() != c.detail(c.declarations()[i]).dump();
    EXPECT_GT(differing, 150);
}

TEST(RegistrySimDataset, HoldsTheShapesThatMatterDownstream)
{
    const Dataset data = Dataset::generate(simOptions(1000, 200).dataset);
    const QString from = data.windowStart().toString(u"yyyy-MM-dd");
    const QString to = data.windowEnd().toString(u"yyyy-MM-dd");
    EXPECT_EQ(data.windowStart(), kToday.addDays(30));
    EXPECT_EQ(data.windowEnd(), kToday.addDays(35));

    // The regulation list: 120 unique ids and names; every cited id comes from it.
    QSet<qint64> regIds;
    QSet<QString> regNames;
    for (const SimRegulation &reg : data.regulations()) {
        regIds.insert(reg.id);
        regNames.insert(reg.displayName);
    }
    EXPECT_EQ(data.regulations().size(), 120);
    EXPECT_EQ(regIds.size(), 120);
    EXPECT_EQ(regNames.size(), 120);
    EXPECT_TRUE(regNames.contains(u"ТР ТС 021/2011"_s));

    int inWindow = 0, outside = 0, notInForceInWindow = 0, noRegulations = 0;
    QSet<QString> endDates; // of declarations in force
    QMap<QString, QSet<QString>> namesByLowerCase;
    bool emptyName = false, nullName = false, noBreakSpace = false, doubledBlank = false;
    bool innNullWithOgrn = false, innEmptyWithOgrn = false, neither = false, leadingZeroInn = false;
    bool noSeatAddress = false, nullSubject = false, guidSubject = false, controlCharacter = false;
    bool sevenDigitId = false, eightDigitId = false;
    QMap<QString, QSet<QString>> namesByInn;
    for (const SimDeclaration &decl : data.declarations()) {
        const SimJson item = data.searchItem(decl);
        const SimJson detail = data.detail(decl);
        const QString end = qstr(item["declEndDate"]);
        const bool inForce = item["idStatus"] == 6;
        const bool windowed = end >= from && end <= to;
        inWindow += inForce && windowed;
        outside += inForce && !windowed;
        notInForceInWindow += !inForce && windowed;
        if (inForce)
            endDates.insert(end);
        EXPECT_EQ(item["id"], decl.id);
        EXPECT_EQ(detail["idDeclaration"], decl.id);
        EXPECT_EQ(item["idStatus"], decl.status);
        EXPECT_EQ(detail["idStatus"], decl.status);
        EXPECT_EQ(qstr(item["declEndDate"]), decl.endDate.toString(u"yyyy-MM-dd"));
        EXPECT_EQ(item["declEndDate"], detail["declEndDate"]);
        EXPECT_EQ(item["number"], detail["number"]);
        noRegulations += detail["idTechnicalReglaments"].empty();
        EXPECT_EQ(detail["idTechnicalReglaments"],
                  SimJson(std::vector<qint64>(decl.regulationIds.cbegin(), decl.regulationIds.cend())));
        for (const SimJson &reg : detail["idTechnicalReglaments"])
            EXPECT_TRUE(regIds.contains(reg.get<qint64>()));
        sevenDigitId |= decl.id < 10000000;
        eightDigitId |= decl.id >= 10000000;

        const SimJson &name = item["applicantName"];
        if (name.is_null()) {
            nullName = true;
        } else {
            const QString text = qstr(name);
            emptyName |= text.isEmpty();
            namesByLowerCase[text.toLower()].insert(text);
            noBreakSpace |= text.contains(QChar(0x00A0));
            doubledBlank |= text.contains(u"  "_s);
        }
        const SimJson &applicant = detail["applicant"];
        const SimJson &inn = applicant["inn"];
        const SimJson &ogrn = applicant["ogrn"];
        innNullWithOgrn |= inn.is_null() && ogrn.is_string();
        innEmptyWithOgrn |= inn == "" && ogrn.is_string();
        neither |= inn.is_null() && ogrn.is_null();
        if (inn.is_string() && !str(inn).empty()) {
            leadingZeroInn |= str(inn)[0] == '0';
            namesByInn[qstr(inn)].insert(qstr(applicant["fullName"]));
        }
        bool seat = false;
        for (const SimJson &address : applicant["addresses"]) {
            seat |= address["idAddrType"] == 1;
            nullSubject |= address["idSubject"].is_null();
            guidSubject |= address["idSubject"].is_string();
        }
        noSeatAddress |= !seat;
        const std::string text = applicant.dump();
        controlCharacter |= text.find("\\t") != std::string::npos || text.find("\\n") != std::string::npos;
    }
    EXPECT_GT(inWindow, 100);
    EXPECT_GT(outside, 100);
    EXPECT_GT(notInForceInWindow, 0);
    EXPECT_GT(noRegulations, 0);
    for (const QDate &day :
         {data.windowStart().addDays(-1), data.windowStart(), data.windowEnd(), data.windowEnd().addDays(1)})
        EXPECT_TRUE(endDates.contains(day.toString(u"yyyy-MM-dd"))) << day.toString().toStdString();
    EXPECT_TRUE(std::any_of(namesByLowerCase.cbegin(), namesByLowerCase.cend(), [](const QSet<QString> &spellings) {
        return spellings.size() > 1;
    })) << "no two names that differ only in letter case";
    EXPECT_TRUE(std::any_of(namesByInn.cbegin(), namesByInn.cend(), [](const QSet<QString> &names) {
        return names.size() > 1;
    })) << "no two applicants sharing an INN";
    EXPECT_TRUE(emptyName);
    EXPECT_TRUE(nullName);
    EXPECT_TRUE(noBreakSpace);
    EXPECT_TRUE(doubledBlank);
    EXPECT_TRUE(innNullWithOgrn);
    EXPECT_TRUE(innEmptyWithOgrn);
    EXPECT_TRUE(neither);
    EXPECT_TRUE(leadingZeroInn);
    EXPECT_TRUE(noSeatAddress);
    EXPECT_TRUE(nullSubject);
    EXPECT_TRUE(guidSubject);
    EXPECT_TRUE(controlCharacter);
    EXPECT_TRUE(sevenDigitId);
    EXPECT_TRUE(eightDigitId);
}

TEST_F(RegistrySimTest, SearchPagesCoverExactlyTheMatchingDeclarations)
{
    startSim();
    const QByteArray token = logIn(*sim);
    const Dataset &data = sim->dataset();
    const QString from = data.windowStart().toString(u"yyyy-MM-dd");
    const QString to = data.windowEnd().toString(u"yyyy-MM-dd");
    const QString ever = u"2000-01-01"_s, never = u"2099-12-31"_s;
    const qint64 food = 27, labelling = 97161;
    struct Case
    {
        const char *name;
        QString idTechReg;
        QList<qint64> regs;
        QString from, to;
    };
    const Case cases[] = {{"the window, no regulation filter", QString(), {}, from, to},
                          {"one regulation, any end date", u"27"_s, {food}, ever, never},
                          {"two regulations, any end date", u"27,97161"_s, {food, labelling}, ever, never}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const QList<qint64> expected = expectedIds(data, c.from, c.to, c.regs);
        ASSERT_GT(expected.size(), 100) << "the case should span several pages";
        QList<qint64> seen;
        for (int page = 0;; ++page) {
            ASSERT_LT(page, 100);
            const Reply reply =
                post(searchUrl(sim->baseUrl()), searchBody(QString::number(page), c.idTechReg, c.from, c.to), token);
            ASSERT_TRUE(reply.result.ok) << reply.result.error.toStdString();
            const SimJson json = parse(reply.body);
            ASSERT_EQ(keysOf(json), (std::vector<std::string>{"items", "total", "size"}));
            EXPECT_EQ(json["total"].get<qint64>(), expected.size());
            for (const SimJson &item : json["items"])
                seen.append(item["id"].get<qint64>());
            if (json["items"].size() < 100)
                break;
        }
        EXPECT_EQ(seen, expected); // in ascending id order, each once
    }

    // The request is recorded as it went out.
    const QList<RecordedRequest> searches = sim->requests(RegistrySim::Endpoint::Search);
    ASSERT_FALSE(searches.isEmpty());
    EXPECT_EQ(searches[0].requestLine, "POST /api/v1/rds/common/declarations/get HTTP/1.0");
    EXPECT_TRUE(searches[0].headerLines.contains("Authorization: Bearer " + token));
    EXPECT_EQ(searches[0].body, searchBody(u"0"_s, QString(), from, to));
}

TEST_F(RegistrySimTest, ExactlyOneFullPageIsFollowedByAnEmptyOneAndTotalMayBeAQuirk)
{
    startSim(simOptions(3000, 400));
    const Dataset &data = sim->dataset();
    // The first end date at which exactly 100 declarations in force have ended since a year ago.
    const QString from = kToday.addDays(-365).toString(u"yyyy-MM-dd");
    QMap<QDate, int> endingOn;
    for (const SimDeclaration &decl : data.declarations()) {
        if (decl.status == 6 && decl.endDate >= kToday.addDays(-365))
            ++endingOn[decl.endDate];
    }
    QString to;
    int count = 0;
    for (auto it = endingOn.cbegin(); it != endingOn.cend() && count < 100; ++it) {
        count += it.value();
        if (count == 100)
            to = it.key().toString(u"yyyy-MM-dd");
    }
    ASSERT_FALSE(to.isEmpty()) << "no end date gives exactly 100 matches";
    ASSERT_EQ(expectedIds(data, from, to, {}).size(), 100);
    const QByteArray token = logIn(*sim);

    const SimJson first = parse(post(searchUrl(sim->baseUrl()), searchBody(u"0"_s, QString(), from, to), token).body);
    EXPECT_EQ(first["items"].size(), 100u);
    EXPECT_EQ(first["total"], 100);
    const SimJson second = parse(post(searchUrl(sim->baseUrl()), searchBody(u"1"_s, QString(), from, to), token).body);
    EXPECT_TRUE(second["items"].is_array());
    EXPECT_EQ(second["items"].size(), 0u);
    EXPECT_EQ(second["total"], 100);

    sim->setTotalQuirk(10000000);
    const SimJson quirky = parse(post(searchUrl(sim->baseUrl()), searchBody(u"0"_s, QString(), from, to), token).body);
    EXPECT_EQ(quirky["total"], 10000000);
    EXPECT_EQ(quirky["size"], 10000000);
    EXPECT_EQ(quirky["items"], first["items"]);
}

TEST_F(RegistrySimTest, RepliesHaveTheShapesOfTheSavedReplies)
{
    startSim(simOptions(80, 40));
    const QByteArray token = logIn(*sim);
    const SimJson savedSearch = parse(readFixture(u"registry/search-1.json"_s));
    const SimJson savedDetail = parse(readFixture(u"registry/detail-1.json"_s));
    const SimJson savedShape = parse(readFixture(u"registry/multi-shape.json"_s));

    const SimJson page = parse(
        post(searchUrl(sim->baseUrl()), searchBody(u"0"_s, QString(), u"2000-01-01"_s, u"2099-12-31"_s), token).body);
    ASSERT_FALSE(page["items"].empty());
    EXPECT_EQ(keysOf(page["items"][0]), keysOf(savedSearch["items"][0]));

    bool sawRegion = false, sawNoRegion = false;
    for (const SimDeclaration &decl : sim->dataset().declarations()) {
        SCOPED_TRACE(decl.id);
        const QString url = detailUrl(sim->baseUrl(), QString::number(decl.id));
        const Reply reply = get(url, token);
        ASSERT_TRUE(reply.result.ok) << reply.result.error.toStdString();
        const SimJson detail = parse(reply.body);
        ASSERT_TRUE(detail.is_object());
        // Key lists, in order, of the parts the program reads and of their neighbours.
        for (const char *path : {"", "/applicant", "/manufacturer", "/product", "/product/identifications/0",
                                 "/testingLabs/0", "/statusChanges/0", "/documents"}) {
            SCOPED_TRACE(path);
            EXPECT_EQ(keysOf(detail.at(SimJson::json_pointer(path))),
                      keysOf(savedDetail.at(SimJson::json_pointer(path))));
        }
        for (const SimJson &address : detail["applicant"]["addresses"])
            EXPECT_EQ(keysOf(address), keysOf(savedDetail["applicant"]["addresses"][0]));
        for (const SimJson &contact : detail["applicant"]["contacts"])
            EXPECT_EQ(keysOf(contact), keysOf(savedDetail["applicant"]["contacts"][0]));

        // The lookup the program composes from this detail names what it asks for, in the saved shape.
        const LookupBody lookup = lookupBody(Json::parse(reply.body.toStdString()));
        ASSERT_TRUE(lookup.ok) << lookup.error.toStdString();
        const Reply multiReply = post(lookupUrl(sim->baseUrl()), lookup.body, token);
        ASSERT_TRUE(multiReply.result.ok);
        const SimJson multi = parse(multiReply.body);
        ASSERT_TRUE(multi.is_object());
        for (auto it = multi.begin(); it != multi.end(); ++it) {
            SCOPED_TRACE(it.key());
            ASSERT_TRUE(savedShape.contains(it.key()));
            for (const SimJson &entry : it.value()) {
                EXPECT_EQ(keysOf(entry), keysOf(savedShape[it.key()][0]));
                for (auto field = entry.begin(); field != entry.end(); ++field)
                    EXPECT_EQ(field.value().type(), savedShape[it.key()][0][field.key()].type()) << field.key();
            }
        }
        EXPECT_EQ(multi["applicantType"].size(), detail["applicant"]["idLegalSubjectType"].is_null() ? 0u : 1u);
        EXPECT_EQ(multi["tnved"].size(), detail["product"]["identifications"][0]["idTnveds"].size());
        if (multi.contains("fiasAddrobj"))
            (multi["fiasAddrobj"].empty() ? sawNoRegion : sawRegion) = true;
    }
    EXPECT_TRUE(sawRegion);
    EXPECT_TRUE(sawNoRegion); // a seat address whose idSubject is null asks for "null"

    const Reply unknown = get(detailUrl(sim->baseUrl(), u"1"_s), token);
    EXPECT_FALSE(unknown.result.ok);
    EXPECT_EQ(unknown.result.status, 404);
    EXPECT_EQ(unknown.result.error, u"Not Found"_s);
}

TEST_F(RegistrySimTest, RegulationPagesFollowOffsetAndLimit)
{
    startSim();
    const QByteArray token = logIn(*sim);
    QList<qint64> ids;
    for (int page = 0; page < 4; ++page) {
        SCOPED_TRACE(page);
        const Reply reply = post(regulationPageUrl(sim->baseUrl()), regulationPageBody(page), token);
        ASSERT_TRUE(reply.result.ok);
        const RegulationPage regs = readRegulationPage(reply.body);
        EXPECT_TRUE(regs.parsed);
        EXPECT_EQ(regs.count(), page < 2 ? 50 : page == 2 ? 20 : 0);
        for (const Regulation &reg : regs.items)
            ids.append(reg.id.toLongLong());
    }
    ASSERT_EQ(ids.size(), sim->dataset().regulations().size());
    for (qsizetype i = 0; i < ids.size(); ++i)
        EXPECT_EQ(ids[i], sim->dataset().regulations()[i].id);
}

TEST_F(RegistrySimTest, InjectedFaultsHitExactlyTheirCount)
{
    startSim(simOptions(200, 40));
    const QByteArray token = logIn(*sim);
    const QByteArray body = searchBody(u"0"_s, QString(), u"2000-01-01"_s, u"2099-12-31"_s);
    struct Case
    {
        const char *name;
        SimReply fault;
        int status;
        QString error;
        QByteArray bodyStart;
    };
    const Case cases[] = {
        {"503 with its reason", SimFault::status(503), 503, u"Service Temporarily Unavailable"_s, "<html>"},
        {"500 without a reason", SimFault::statusWithoutReason(500), 500, QString(), "<html>"},
        {"empty 200", SimFault::emptyBody(), 200, QString(), ""},
        {"HTML page", SimFault::htmlPage(), 200, QString(), "<!DOCTYPE html>"},
        {"closed before the status line", SimFault::closeBeforeStatus(), 0,
         u"HTTP no status code (connection closed prematurely)"_s, ""},
        {"late but whole", SimFault::delay(200), 200, QString(), "{\"items\":["},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        sim->clearRequests();
        sim->injectFault(RegistrySim::Endpoint::Search, c.fault, 2);
        for (int attempt = 0; attempt < 2; ++attempt) {
            const Reply reply = post(searchUrl(sim->baseUrl()), body, token);
            EXPECT_EQ(reply.result.status, c.status);
            EXPECT_EQ(reply.result.error, c.error);
            EXPECT_TRUE(reply.body.startsWith(c.bodyStart)) << reply.body.left(80).toStdString();
            if (c.bodyStart.isEmpty()) {
                EXPECT_TRUE(reply.body.isEmpty());
            }
        }
        // Another endpoint meanwhile is not touched, and the third search is itself again.
        EXPECT_TRUE(
            get(detailUrl(sim->baseUrl(), QString::number(sim->dataset().declarations()[0].id)), token).result.ok);
        const Reply third = post(searchUrl(sim->baseUrl()), body, token);
        EXPECT_TRUE(third.result.ok);
        EXPECT_TRUE(third.body.startsWith("{\"items\":[{"));
        EXPECT_EQ(sim->requests(RegistrySim::Endpoint::Search).size(), 3);
    }

    // A stall holds the reply until the client gives up.
    sim->injectFault(RegistrySim::Endpoint::Detail, SimFault::stall(20000));
    const Reply stalled =
        send(detailUrl(sim->baseUrl(), QString::number(sim->dataset().declarations()[0].id)), nullptr, token, true, 1);
    EXPECT_FALSE(stalled.result.ok);
    EXPECT_EQ(stalled.result.error, u"Request aborted on timeout"_s);
}

TEST_F(RegistrySimTest, ExpiredTokenIsRefusedUntilAFreshLogin)
{
    startSim(simOptions(200, 40));
    const QString url = detailUrl(sim->baseUrl(), QString::number(sim->dataset().declarations()[0].id));
    const QByteArray first = logIn(*sim);
    ASSERT_FALSE(first.isEmpty());
    EXPECT_EQ(first.count('.'), 2) << "a JWT has three parts";
    EXPECT_EQ(first, sim->currentToken());
    EXPECT_EQ(get(url, first).result.status, 200);

    const Reply missing = get(url, {}, false);
    const Reply wrong = get(url, "not-a-token");
    for (const Reply *refused : {&missing, &wrong}) {
        EXPECT_EQ(refused->result.status, 401);
        EXPECT_TRUE(refused->result.ok) << "a 401 reaches the caller's content checks";
        EXPECT_FALSE(refused->body.contains("\"idDeclaration\":"));
        EXPECT_TRUE(parse(refused->body).is_object());
    }

    sim->expireToken();
    EXPECT_EQ(get(url, first).result.status, 401);
    EXPECT_EQ(post(searchUrl(sim->baseUrl()), searchBody(u"0"_s, QString(), u"2000-01-01"_s, u"2099-12-31"_s), first)
                  .result.status,
              401);
    const QByteArray second = logIn(*sim);
    EXPECT_NE(second, first);
    EXPECT_EQ(get(url, second).result.status, 200);
    EXPECT_EQ(get(url, first).result.status, 401);

    // Other credentials are refused without an Authorization header.
    NetworkConfig stranger;
    stranger.loginPassword = u"wrong"_s;
    HttpClient client(TlsOptions{false, {}});
    client.setUrl(loginUrl(sim->baseUrl()));
    QByteArray received;
    EXPECT_EQ(client.post(loginBody(stranger), received).status, 401);
    EXPECT_TRUE(authorizationFromHeaders(client.receivedHeaders()).isEmpty());
}

// The registry's habits, each on demand: the session cookie before the login, tokens revoked in the
// middle of a run, search items of the 2025 shape, and the faults of a rate limit.
TEST_F(RegistrySimTest, HabitsOnDemand)
{
    SimOptions options = simOptions(200, 40);
    options.loginNeedsCookie = true;
    options.applicantInnInSearch = true;
    options.revokeTokensAfterDetails = 2;
    startSim(options);
    const auto withCookie = [this](const QString &url, const QByteArray *body, const QString &cookie) {
        HttpClient client(TlsOptions{false, {}});
        client.setUrl(url);
        client.setCookie(cookie);
        client.addHeaderLine(u"Authorization: Bearer "_s + QString::fromLatin1(sim->currentToken()));
        Reply reply;
        reply.result = body ? client.post(*body, reply.body) : client.get(reply.body);
        reply.headers = client.receivedHeaders();
        return reply;
    };

    // No cookie: the login and the API are refused by the site's front.
    const QByteArray login = loginBody(NetworkConfig{});
    EXPECT_EQ(withCookie(loginUrl(sim->baseUrl()), &login, {}).result.status, 403);
    const Reply page = withCookie(declarationReferer(sim->baseUrl()), nullptr, {});
    EXPECT_EQ(page.result.status, 200);
    const QString cookie = sessionCookieFromHeaders(page.headers);
    ASSERT_TRUE(cookie.startsWith(u"session-cookie="_s)) << page.headers.toStdString();
    EXPECT_EQ(withCookie(loginUrl(sim->baseUrl()), &login, u"session-cookie=made-up"_s).result.status, 403);
    const Reply loggedIn = withCookie(loginUrl(sim->baseUrl()), &login, cookie);
    EXPECT_EQ(loggedIn.result.status, 200);
    EXPECT_FALSE(authorizationFromHeaders(loggedIn.headers).isEmpty());

    const QByteArray search = searchBody(u"0"_s, QString(), sim->dataset().windowStart().toString(u"yyyy-MM-dd"),
                                         sim->dataset().windowEnd().toString(u"yyyy-MM-dd"));
    EXPECT_EQ(withCookie(searchUrl(sim->baseUrl()), &search, {}).result.status, 403);
    const Reply found = withCookie(searchUrl(sim->baseUrl()), &search, cookie);
    ASSERT_EQ(found.result.status, 200);

    // Each item carries its applicant's INN beside the name, as the detail has it (null included).
    const SimJson items = parse(found.body)["items"];
    ASSERT_GE(items.size(), 3u);
    bool sawNull = false;
    for (const SimJson &item : items) {
        const std::vector<std::string> keys = keysOf(item);
        const auto name = std::find(keys.begin(), keys.end(), "applicantName");
        ASSERT_NE(name, keys.end());
        ASSERT_NE(name + 1, keys.end());
        EXPECT_EQ(*(name + 1), "applicantInn");
        const SimJson detail = sim->dataset().detail(*sim->dataset().declaration(item["id"].get<qint64>()));
        EXPECT_EQ(item["applicantInn"], detail["applicant"]["inn"]);
        sawNull = sawNull || item["applicantInn"].is_null();
    }
    EXPECT_TRUE(sawNull) << "the data set's applicant without an INN is in the window";

    // The token dies after the second detail it was shown.
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        const QString url = detailUrl(sim->baseUrl(), QString::number(items[i]["id"].get<qint64>()));
        EXPECT_EQ(withCookie(url, nullptr, cookie).result.status, i < 2 ? 200 : 401);
    }

    // Rate limits, as faults.
    sim->injectFault(RegistrySim::Endpoint::Search, SimFault::retryAfter(429, "7"));
    const Reply limited = post(searchUrl(sim->baseUrl()), search);
    EXPECT_EQ(limited.result.status, 429);
    EXPECT_EQ(retryAfterSeconds(limited.headers, QDateTime::currentDateTimeUtc()), 7);
    sim->injectFault(RegistrySim::Endpoint::BotApi, SimFault::botTooManyRequests(3));
    const Reply bot = post(sim->baseUrl() + u"/bot"_s + QString::fromLatin1(sim->options().botToken) +
                               u"/sendmessage"_s,
                           "chat_id=1&text=x");
    EXPECT_EQ(bot.result.status, 429);
    EXPECT_EQ(parse(bot.body)["parameters"]["retry_after"], 3);
    EXPECT_EQ(parse(bot.body)["ok"], false);
}

TEST_F(RegistrySimTest, BotApiAnswersLikeTelegram)
{
    SimOptions options = simOptions(10, 5);
    options.botToken = "5550001:AAtest-token";
    options.botName = u"tavrosin_bot"_s;
    options.botUser = u"buyer"_s;
    startSim(options);
    const SimJson saved = parse(readFixture(u"telegram/ok.json"_s));
    auto sendMessage = [this](const QByteArray &token, const QByteArray &body) {
        HttpClient client(TlsOptions{false, {}});
        client.setUrl(sim->baseUrl() + u"/bot"_s + QString::fromLatin1(token) + u"/sendmessage"_s);
        Reply reply;
        reply.result = client.post(body, reply.body);
        return reply;
    };

    const Reply ok =
        sendMessage("5550001:AAtest-token", "chat_id=42&text=%D0%92%D1%8B%D0%B3%D1%80%D1%83%D0%B7%D0%BA%D0%B0%205");
    ASSERT_TRUE(ok.result.ok);
    const SimJson reply = parse(ok.body);
    EXPECT_EQ(reply["ok"], true);
    for (const char *part : {"/result", "/result/from"}) {
        SCOPED_TRACE(part);
        for (const std::string &key : keysOf(reply.at(SimJson::json_pointer(part))))
            EXPECT_TRUE(saved.at(SimJson::json_pointer(part)).contains(key)) << key;
    }
    EXPECT_EQ(reply["result"]["from"]["username"], "tavrosin_bot");
    EXPECT_EQ(reply["result"]["from"]["id"], 5550001);
    EXPECT_EQ(reply["result"]["chat"]["username"], "buyer");
    EXPECT_EQ(reply["result"]["chat"]["id"], 42);
    ASSERT_EQ(sim->botMessages().size(), 1);
    EXPECT_EQ(sim->botMessages()[0].chatId, u"42"_s);
    EXPECT_EQ(sim->botMessages()[0].text, u"Выгрузка 5"_s);

    const Reply refused = sendMessage("5550001:other", "chat_id=42&text=x");
    EXPECT_EQ(refused.result.status, 401);
    EXPECT_EQ(refused.body, R"({"ok":false,"error_code":401,"description":"Unauthorized"})");
    EXPECT_EQ(sim->botMessages().size(), 1);
}

TEST_F(RegistrySimTest, ChatWithoutUserName)
{
    SimOptions options = simOptions(10, 5);
    options.botUser.clear();
    startSim(options);
    HttpClient client(TlsOptions{false, {}});
    client.setUrl(sim->baseUrl() + u"/bot"_s + QString::fromLatin1(options.botToken) + u"/sendmessage"_s);
    QByteArray received;
    ASSERT_TRUE(client.post("chat_id=42&text=hi", received).ok);
    const SimJson reply = parse(received);
    EXPECT_EQ(reply["ok"], true);
    EXPECT_FALSE(reply["result"]["chat"].contains("username"));
    EXPECT_TRUE(reply["result"]["from"].contains("username"));
}

TEST_F(RegistrySimTest, FixtureModeServesTheSavedRepliesVerbatim)
{
    SimOptions options = simOptions(10, 5);
    options.fixturesDir = fixturePath(QString());
    startSim(options);
    const QByteArray token = logIn(*sim);
    const QString search = searchUrl(sim->baseUrl());
    EXPECT_EQ(post(search, searchBody(u"0"_s, QString(), u"2023-01-01"_s, u"2023-02-01"_s), token).body,
              readFixture(u"registry/search-1.json"_s));
    EXPECT_EQ(post(search, searchBody(u"1"_s, u"27"_s, u"2023-01-01"_s, u"2023-02-01"_s), token).body,
              readFixture(u"registry/search-2.json"_s));
    EXPECT_EQ(parse(post(search, searchBody(u"2"_s, QString(), u"2023-01-01"_s, u"2023-02-01"_s), token).body)["items"],
              SimJson::array());

    // The first search item has no saved detail: it answers with detail-1, a saved id with its own file,
    // and the lookup after a detail with the multi reply of the same number.
    const qint64 firstItem = parse(readFixture(u"registry/search-1.json"_s))["items"][0]["id"].get<qint64>();
    const qint64 secondDetail = parse(readFixture(u"registry/detail-2.json"_s))["idDeclaration"].get<qint64>();
    EXPECT_EQ(get(detailUrl(sim->baseUrl(), QString::number(firstItem)), token).body,
              readFixture(u"registry/detail-1.json"_s));
    const QString secondUrl = detailUrl(sim->baseUrl(), QString::number(secondDetail));
    EXPECT_EQ(get(secondUrl, token).body, readFixture(u"registry/detail-2.json"_s));

    HttpClient client(TlsOptions{false, {}});
    client.setUrl(lookupUrl(sim->baseUrl()));
    client.setReferer(secondUrl);
    client.setContentType(u"application/json"_s);
    client.addHeaderLine(u"Authorization: Bearer "_s + QString::fromLatin1(token));
    QByteArray received;
    ASSERT_TRUE(
        client.post(lookupBody(Json::parse(readFixture(u"registry/detail-2.json"_s).toStdString())).body, received).ok);
    EXPECT_EQ(received, readFixture(u"registry/multi-2.json"_s));
}

TEST(RegistrySimProgram, PrintsItsUrlWritesItsCertificateAndStopsOnSigterm)
{
    const QString program = QStringLiteral(TAVROSIN_BINARY_DIR) + u"/tools/registry-sim"_s;
    ASSERT_TRUE(QFile::exists(program)) << "build the registry-sim target first";
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString cert = dir.filePath(u"sim.pem"_s);
    QProcess process;
    process.start(program, {u"--declarations"_s, u"150"_s, u"--applicants"_s, u"30"_s, u"--seed"_s, u"3"_s,
                            u"--today"_s, u"2025-03-01"_s, u"--total-quirk"_s, u"1000"_s, u"--cert-out"_s, cert});
    ASSERT_TRUE(process.waitForStarted());
    QByteArray line;
    while (!line.contains('\n') && process.waitForReadyRead(30000))
        line += process.readAllStandardOutput();
    const QString url = QString::fromLatin1(line).trimmed();
    ASSERT_TRUE(url.startsWith(u"https://127.0.0.1:"_s)) << line.toStdString();

    // The certificate it wrote lets a verifying client in.
    HttpClient client(TlsOptions{true, cert});
    client.setUrl(loginUrl(url));
    QByteArray received;
    const HttpResult login = client.post(loginBody(NetworkConfig{}), received);
    EXPECT_TRUE(login.ok) << login.error.toStdString();
    const QByteArray token = bearerToken(authorizationFromHeaders(client.receivedHeaders())).toLatin1();
    const SimJson page =
        parse(post(searchUrl(url), searchBody(u"0"_s, QString(), u"2025-03-31"_s, u"2025-04-05"_s), token).body);
    EXPECT_EQ(page["total"], 1000);
    EXPECT_FALSE(page["items"].empty());

    ::kill(pid_t(process.processId()), SIGTERM);
    ASSERT_TRUE(process.waitForFinished(30000));
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(process.exitCode(), 0);
}
