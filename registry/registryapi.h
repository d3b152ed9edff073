#pragma once
// The registry's messages as pure functions: request bodies and URLs from values, and the members the
// program reads from the replies. No I/O and no state. Bodies are composed byte for byte as the
// registry expects them; readers never fail on odd shapes (a reply that is not the expected JSON
// reads as an empty page with parsed == false). Every URL starts with the configured registry URL
// (scheme, host and port, no trailing slash).

#include "json.h"
#include "networkconfig.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <cstdint>
#include <optional>

// Header values that every registry request carries.
QString registryAccept();    // "text/html, */*"
QString registryUserAgent(); // a desktop browser's User-Agent
QString jsonContentType();   // "application/json": every POST but the login
QString formContentType();   // "application/x-www-form-urlencoded": the login, although its body is JSON

// Addresses. registryUrl is NetworkConfig::registryUrl.
QString loginUrl(const QString &registryUrl);
QString regulationPageUrl(const QString &registryUrl);
QString searchUrl(const QString &registryUrl);
QString detailUrl(const QString &registryUrl, const QString &declarationId);
QString lookupUrl(const QString &registryUrl);
// The Referer of the login and of the regulation pages.
QString declarationReferer(const QString &registryUrl);
// The public page of a declaration, written into result rows (never requested).
QString declarationViewUrl(const QString &registryUrl, const QString &idDeclaration);

// {"username":"<loginUser>","password":"<loginPassword>"}; the values are escaped as JSON strings,
// which leaves the default values unchanged.
QByteArray loginBody(const NetworkConfig &network);
// The same with another password.
QByteArray loginBody(const NetworkConfig &network, const QString &password);
// The other password of the anonymous login, which the registry's public clients have sent for years;
// tried once when the configured one is refused.
QString alternateLoginPassword();
// One page of 50 regulations, offset 50 × page.
QByteArray regulationPageBody(int page);
// One search page of 100 declarations with status 6 whose end date lies in [fromDate, toDate]
// ("yyyy-mm-dd"); idTechReg is the selected regulation ids joined by "," (empty: no regulation filter).
// page, fromDate and toDate go in as given.
QByteArray searchBody(const QString &page, const QString &idTechReg, const QString &fromDate, const QString &toDate);

// The dictionary lookup that follows a declaration detail. Fails (ok false, error set) when the detail
// has no idGroups, no applicant object, or no idTnveds in product.identifications[0]: the caller counts
// that as a failed attempt.
struct LookupBody
{
    bool ok = false;
    QByteArray body;
    QString error;
};
LookupBody lookupBody(const Json &detail);

// The Authorization value of a login reply: what follows the first "Authorization:" (exact case) up to
// the line feed, without leading and trailing blanks and control characters; empty when there is none.
QString authorizationFromHeaders(const QString &headerLines);
// The access token: the text after the first "Bearer " up to the end; empty when there is none.
QString bearerToken(const QString &authorizationText);
// When an access token (a JWT) stops being accepted: its payload's "exp", in seconds since 1970.
// The token is decoded, never verified. Nothing when the token is not a JWT or has no readable exp.
std::optional<QDateTime> tokenExpiry(const QString &token);
// The session cookie that a page of the registry sets ("Set-Cookie: session-cookie=<value>; ..."),
// as the pair to send back: "session-cookie=<value>"; empty when no header line sets it.
QString sessionCookieFromHeaders(const QString &headerLines);
// How long a reply's Retry-After header asks to wait: whole seconds, or an HTTP date taken against
// now (a date already past gives 0). Nothing when there is no such header or it reads as neither.
std::optional<qint64> retryAfterSeconds(const QString &headerLines, const QDateTime &now);
// The wait in milliseconds for such a number of seconds: between 0 and capMs, whatever the server
// wrote (a value past the cap is clamped before it is turned into milliseconds, so it cannot overflow).
qint64 retryAfterWaitMs(qint64 seconds, qint64 capMs);

struct Regulation
{
    QString id; // a number's decimal digits as a rule
    QString displayName;
};

struct RegulationPage
{
    bool parsed = false;     // the body was a JSON object with an "items" array
    QString problem;         // not parsed: why, in Russian ("пустой ответ", ...)
    QList<Regulation> items; // in the order received
    qsizetype count() const { return items.size(); }
};
// A page of the regulation dictionary. Only a JSON object with an "items" array is a page (one with
// an empty array included); anything else (an empty body, an HTML page, "{}", cut-off JSON) gives
// parsed == false and no items.
RegulationPage readRegulationPage(const QByteArray &utf8);

struct DeclarationItem
{
    QString id;
    QString applicantName;
    QString applicantInn; // items have carried it since 2025; empty in older replies
};

struct SearchPage
{
    // The body was a search page: a JSON object whose "items" is an array (or null, no items).
    // Anything else (HTML, a cut-off reply, an object without "items") is no page at all.
    bool parsed = false;
    QList<DeclarationItem> items;
    std::int64_t total = 0; // "total" as given: not always a count of matches
    qsizetype count() const { return items.size(); }
};
SearchPage readSearchPage(const QString &text);
// The same from the reply's bytes, as received: no text copy of a reply that may be megabytes.
SearchPage readSearchPage(const QByteArray &utf8);

// A declaration detail: a JSON object that carries "idDeclaration" or "idCertificate". Nothing for
// anything else (HTML, a cut-off reply, an error object), which is no detail whatever text it holds.
std::optional<Json> readDeclarationDetail(const QString &text);
// What reading a detail's bytes gave.
struct DetailReading
{
    std::optional<Json> detail; // the kept members (keptDetailMembers); nothing when the reply is no detail
    bool outOfMemory = false;   // the reply could not be read for want of memory (detail is nothing)
};
// A detail from the reply's bytes, as received, reduced at once to the members that the row, the
// history and the dictionary lookup read: a detail may run to tens of megabytes, and nothing else of
// it is ever stored. The detail is keptDetailMembers of the document parseJson reads from the same
// bytes, when that is an object that carries "idDeclaration" or "idCertificate". Nothing is thrown.
DetailReading readKeptDeclarationDetail(const QByteArray &utf8) noexcept;
// Of a detail: idDeclaration, idCertificate, number, declRegDate, declEndDate, idTechnicalReglaments,
// idGroups, the idTnveds of product.identifications' first element, and of applicant the members
// the row and the lookup read. Every reading of the row and the lookup gives on it what it gives
// on the whole detail.
Json keptDetailMembers(Json &&detail);
