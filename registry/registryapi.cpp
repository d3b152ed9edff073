#include "registryapi.h"

#include "textscan.h"

#include <QLocale>

#include <string>

namespace {

QString registryPath(const QString &registryUrl, QStringView path)
{
    return registryUrl + path;
}

QByteArray jsonString(const QString &value)
{
    // A quote or backslash in a configured value must not break the body.
    const Json text = value.toStdString();
    return QByteArray::fromStdString(text.dump(-1, ' ', false, Json::error_handler_t::replace));
}

// The value written back as compact JSON text, copied verbatim into a request.
QByteArray compactJson(const Json &value)
{
    return QByteArray::fromStdString(value.dump(-1, ' ', false, Json::error_handler_t::replace));
}

bool isControlOrBlank(QChar c)
{
    return c.unicode() <= 0x20;
}

} // namespace

QString registryAccept()
{
    return QStringLiteral("text/html, */*");
}

QString registryUserAgent()
{
    return QStringLiteral("Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
                          "Chrome/109.0.0.0 Safari/537.36");
}

QString jsonContentType()
{
    return QStringLiteral("application/json");
}

QString formContentType()
{
    return QStringLiteral("application/x-www-form-urlencoded");
}

QString loginUrl(const QString &registryUrl)
{
    return registryPath(registryUrl, u"/login");
}

QString regulationPageUrl(const QString &registryUrl)
{
    return registryPath(registryUrl, u"/nsi/api/dicNormDoc/get");
}

QString searchUrl(const QString &registryUrl)
{
    return registryPath(registryUrl, u"/api/v1/rds/common/declarations/get");
}

QString detailUrl(const QString &registryUrl, const QString &declarationId)
{
    return registryPath(registryUrl, u"/api/v1/rds/common/declarations/") + declarationId;
}

QString lookupUrl(const QString &registryUrl)
{
    return registryPath(registryUrl, u"/nsi/api/multi");
}

QString declarationReferer(const QString &registryUrl)
{
    return registryPath(registryUrl, u"/rds/declaration");
}

QString declarationViewUrl(const QString &registryUrl, const QString &idDeclaration)
{
    return registryPath(registryUrl, u"/rds/declaration/view/") + idDeclaration + u"/applicant";
}

QByteArray loginBody(const NetworkConfig &network)
{
    return loginBody(network, network.loginPassword);
}

QByteArray loginBody(const NetworkConfig &network, const QString &password)
{
    return "{\"username\":" + jsonString(network.loginUser) + ",\"password\":" + jsonString(password) + "}";
}

QString alternateLoginPassword()
{
    return QStringLiteral("hrgesf7HDR67Bd");
}

QByteArray regulationPageBody(int page)
{
    return "{\"sort\":\"sortIndex\",\"offset\":" + QByteArray::number(qint64(page) * 50) +
           ",\"limit\":50,\"attrs\":[{\"name\":\"docTypeId\",\"operation\":\"in\",\"value\":[1,2]},"
           "{\"name\":\"docStatusId\",\"operation\":\"in\",\"value\":[1,2,9]}]}";
}

QByteArray searchBody(const QString &page, const QString &idTechReg, const QString &fromDate, const QString &toDate)
{
    QByteArray body;
    body += "{\"size\":100,\"page\":";
    body += page.toUtf8();
    body +=
        ",\"count\":1000,\"filter\":{\"status\":[6],\"idDeclType\":[],\"idCertObjectType\":[],\"idProductType\":[],";
    body += "\"idGroupRU\":[],\"idGroupEEU\":[],";
    if (!idTechReg.isEmpty()) {
        body += "\"idTechReg\":[";
        body += idTechReg.toUtf8();
        body += "],";
    }
    body += "\"idApplicantType\":[],\"regDate\":{\"minDate\":null,\"maxDate\":null},\"endDate\":";
    body += "{\"minDate\":\"";
    body += fromDate.toUtf8();
    body += "\",\"maxDate\":\"";
    body += toDate.toUtf8();
    body += "\"},\"columnsSearch\":[{\"name\":\"number\",\"search\":null,\"type\":0}],\"number\":null,";
    body += "\"idProductOrigin\":[],\"idProductEEU\":[],\"idProductRU\":[],\"idDeclScheme\":[],"
            "\"awaitOperatorCheck\":null,\"editApp\":null,";
    body += "\"violationSendDate\":null,\"isProtocolInvalid\":null,\"checkerAIResult\":null,"
            "\"checkerAIProtocolsResults\":null,\"checkerAIProtocolsMistakes\":null,";
    body += "\"hiddenFromOpen\":null},\"columnsSort\":[{\"column\":\"id\",\"sort\":\"ASC\"}],"
            "\"numberOfAllRecords\":false}";
    return body;
}

LookupBody lookupBody(const Json &detail)
{
    LookupBody result;
    const Json *groups = jsonPath(detail, "idGroups");
    if (!groups) {
        result.error = QStringLiteral("Нет idGroups в декларации");
        return result;
    }
    const Json *tnveds = jsonPath(jsonElement(jsonArray(jsonPath(detail, "product.identifications")), 0), "idTnveds");
    if (!tnveds) {
        result.error = QStringLiteral("Нет product.identifications[0].idTnveds в декларации");
        return result;
    }
    const Json *applicant = jsonPath(detail, "applicant");
    if (!applicant || !applicant->is_object()) {
        result.error = QStringLiteral("Нет applicant в декларации");
        return result;
    }
    const QByteArray g = compactJson(*groups);
    const QByteArray t = compactJson(*tnveds);
    const QByteArray legalType = jsonText(jsonPath(*applicant, "idLegalSubjectType")).toUtf8();

    QByteArray subject;
    const Json *addresses = jsonArray(jsonPath(*applicant, "addresses"));
    for (std::size_t i = 0; i < jsonLength(addresses); ++i) {
        const Json *address = jsonElement(addresses, i);
        if (jsonText(jsonPath(address, "idAddrType")) == u"1") {
            subject = jsonText(jsonPath(address, "idSubject")).toUtf8();
            break;
        }
    }

    QByteArray &body = result.body;
    body += "{\"items\":{\"applicantType\":[{\"id\":[";
    body += legalType;
    body += "],\"fields\":[\"id\",\"masterId\",\"name\"]}],";
    if (!subject.isEmpty()) {
        body += "\"fiasAddrobj\":[{\"id\":[\"";
        body += subject;
        body += "\"],\"fields\":[\"id\",\"masterId\",\"name\",\"offname\",\"shortname\",\"aolevel\"]}],";
    }
    body += "\"tnved\":[{\"id\":";
    body += t;
    body += ",\"fields\":[\"id\",\"masterId\",\"name\",\"code\",\"hidden\"]}],";
    body += "\"techregProductListEEU\":[{\"id\":";
    body += g;
    body += ",\"fields\":[\"id\",\"masterId\",\"name\",\"techRegId\",\"hidden\"]}]}}";
    result.ok = true;
    return result;
}

QString authorizationFromHeaders(const QString &headerLines)
{
    const QString value =
        ExtractBetween(headerLines, QStringLiteral("Authorization:"), QString(), QStringLiteral("\n"));
    qsizetype from = 0;
    qsizetype to = value.size();
    while (from < to && isControlOrBlank(value.at(from)))
        ++from;
    while (to > from && isControlOrBlank(value.at(to - 1)))
        --to;
    return value.mid(from, to - from);
}

QString bearerToken(const QString &authorizationText)
{
    return ExtractBetween(authorizationText, QStringLiteral("Bearer "), QString(), QString());
}

std::optional<QDateTime> tokenExpiry(const QString &token)
{
    const QStringList parts = token.trimmed().split(u'.');
    if (parts.size() != 3)
        return std::nullopt;
    const auto decoded = QByteArray::fromBase64Encoding(
        parts[1].toLatin1(), QByteArray::Base64UrlEncoding | QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return std::nullopt;
    const std::optional<Json> payload = parseJson(*decoded);
    if (!payload || !payload->is_object())
        return std::nullopt;
    const Json *exp = jsonPath(*payload, "exp");
    if (!exp || !exp->is_number())
        return std::nullopt;
    const double seconds = exp->get<double>();
    // Beyond what a date can hold the value means nothing.
    if (!(seconds > 0 && seconds < 253402300800.0))
        return std::nullopt;
    return QDateTime::fromSecsSinceEpoch(qint64(seconds), Qt::UTC);
}

QString sessionCookieFromHeaders(const QString &headerLines)
{
    for (const QString &value : headerValues(headerLines, u"Set-Cookie")) {
        const QString pair = value.section(u';', 0, 0).trimmed();
        const qsizetype eq = pair.indexOf(u'=');
        if (eq > 0 && pair.left(eq).trimmed() == u"session-cookie" && eq + 1 < pair.size())
            return QStringLiteral("session-cookie=") + pair.mid(eq + 1).trimmed();
    }
    return QString();
}

std::optional<qint64> retryAfterSeconds(const QString &headerLines, const QDateTime &now)
{
    const std::optional<QString> value = headerValue(headerLines, u"Retry-After");
    if (!value || value->isEmpty())
        return std::nullopt;
    bool number = false;
    const qint64 seconds = value->toLongLong(&number);
    if (number)
        return seconds < 0 ? std::nullopt : std::optional<qint64>(seconds);
    // An HTTP date: "Sun, 06 Nov 1994 08:49:37 GMT" as a rule, a numeric zone now and then.
    QDateTime at = QLocale::c().toDateTime(*value, QStringLiteral("ddd, dd MMM yyyy HH:mm:ss 'GMT'"));
    if (at.isValid())
        at.setTimeSpec(Qt::UTC);
    else
        at = QDateTime::fromString(*value, Qt::RFC2822Date);
    if (!at.isValid())
        return std::nullopt;
    return qMax<qint64>(0, now.secsTo(at));
}

qint64 retryAfterWaitMs(qint64 seconds, qint64 capMs)
{
    capMs = qMax<qint64>(0, capMs);
    if (seconds <= 0)
        return 0;
    if (seconds >= capMs / 1000 + 1)
        return capMs;
    return qMin(seconds * 1000, capMs);
}

RegulationPage readRegulationPage(const QByteArray &utf8)
{
    RegulationPage page;
    if (utf8.trimmed().isEmpty()) {
        page.problem = QStringLiteral("пустой ответ");
        return page;
    }
    const std::optional<Json> document = parseJson(utf8);
    if (!document) {
        page.problem = QStringLiteral("ответ не в формате JSON");
        return page;
    }
    const Json *items = document->is_object() ? jsonArray(jsonPath(*document, "items")) : nullptr;
    if (!items) {
        page.problem = QStringLiteral("в ответе нет массива items");
        return page;
    }
    page.parsed = true;
    for (std::size_t i = 0; i < jsonLength(items); ++i) {
        const Json *item = jsonElement(items, i);
        page.items.append({jsonText(jsonPath(item, "id")), jsonText(jsonPath(item, "displayName"))});
    }
    return page;
}

namespace {

SearchPage searchPageOf(const std::optional<Json> &document)
{
    SearchPage page;
    if (!document || !document->is_object())
        return page;
    const Json *member = jsonPath(*document, "items");
    const Json *items = jsonArray(member);
    if (!items && !(member && member->is_null()))
        return page;
    page.parsed = true;
    for (std::size_t i = 0; i < jsonLength(items); ++i) {
        const Json *item = jsonElement(items, i);
        page.items.append({jsonText(jsonPath(item, "id")), jsonText(jsonPath(item, "applicantName")),
                           jsonText(jsonPath(item, "applicantInn"))});
    }
    page.total = jsonInteger(jsonPath(*document, "total"));
    return page;
}

} // namespace

SearchPage readSearchPage(const QString &text)
{
    return searchPageOf(parseJson(text));
}

SearchPage readSearchPage(const QByteArray &utf8)
{
    return searchPageOf(parseJson(utf8));
}

std::optional<Json> readDeclarationDetail(const QString &text)
{
    std::optional<Json> document = parseJson(text);
    if (!document || !document->is_object())
        return std::nullopt;
    if (!document->contains("idDeclaration") && !document->contains("idCertificate"))
        return std::nullopt;
    return document;
}
