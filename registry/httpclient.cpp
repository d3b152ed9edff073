#include "httpclient.h"

#include <QRegularExpression>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <curl/curl.h>
#include <new>
#include <optional>
#include <thread>

#ifndef Q_OS_WIN
#include <openssl/crypto.h>
#endif

namespace {

constexpr int maxRedirects = 5;

QByteArray withoutLineEnd(const QByteArray &data)
{
    QByteArray line = data;
    while (line.endsWith('\n') || line.endsWith('\r'))
        line.chop(1);
    return line;
}

// The reason phrase of a status line such as "HTTP/1.1 503 Service Unavailable"; empty when the line
// ends after the code.
QByteArray reasonPhrase(const QByteArray &statusLine)
{
    const qsizetype codeAt = statusLine.indexOf(' ');
    if (codeAt < 0)
        return {};
    const qsizetype reasonAt = statusLine.indexOf(' ', codeAt + 1);
    return reasonAt < 0 ? QByteArray() : statusLine.mid(reasonAt + 1).trimmed();
}

// The kind of a transport failure that has no text of our own.
HttpFailure failureKind(CURLcode code)
{
    switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
        return HttpFailure::Resolve;
    case CURLE_COULDNT_CONNECT:
        return HttpFailure::Connect;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
        return HttpFailure::Tls;
    default:
        return HttpFailure::Other;
    }
}

// The name of a header line, for a failure text: the part before its colon, letters, digits and
// dashes only, at most 40 of them.
QString headerName(const QByteArray &line)
{
    QString name;
    for (const char c : line) {
        if (c == ':' || name.size() == 40)
            break;
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
        name += plain ? QLatin1Char(c) : QLatin1Char('?');
    }
    return name;
}

bool holdsLineBreak(const QByteArray &line)
{
    return line.contains('\r') || line.contains('\n') || line.contains('\0');
}

struct HeaderList
{
    curl_slist *list = nullptr;
    ~HeaderList() { curl_slist_free_all(list); }
    bool append(const QByteArray &line)
    {
        curl_slist *grown = curl_slist_append(list, line.constData());
        if (grown)
            list = grown;
        return grown != nullptr;
    }
};

struct UrlHandle
{
    CURLU *url = curl_url();
    ~UrlHandle() { curl_url_cleanup(url); }
    QByteArray part(CURLUPart which, unsigned flags = 0) const
    {
        char *text = nullptr;
        if (curl_url_get(url, which, &text, flags) != CURLUE_OK)
            return {};
        QByteArray result(text);
        curl_free(text);
        return result;
    }
};

// A proxy setting read by the parser libcurl itself applies to it (the same flags: a scheme of its
// own, such as socks5h, is allowed, and a missing one taken as http), so that what is masked is
// exactly what libcurl takes for the password.
struct ProxyParts
{
    bool parsed = false;
    QByteArray scheme;
    std::optional<QByteArray> user;
    QByteArray password;        // as written (percent-encoded); empty when there is none
    QByteArray decodedPassword; // as libcurl sends it
    QByteArray host;
    QByteArray port;
};

ProxyParts proxyParts(const QString &proxy)
{
    ProxyParts parts;
    UrlHandle parsed;
    if (proxy.isEmpty() ||
        curl_url_set(parsed.url, CURLUPART_URL, proxy.toUtf8().constData(), CURLU_NON_SUPPORT_SCHEME | CURLU_GUESS_SCHEME) !=
            CURLUE_OK)
        return parts;
    parts.parsed = true;
    parts.scheme = parsed.part(CURLUPART_SCHEME);
    char *user = nullptr;
    if (curl_url_get(parsed.url, CURLUPART_USER, &user, 0) == CURLUE_OK) {
        parts.user = QByteArray(user);
        curl_free(user);
    }
    parts.password = parsed.part(CURLUPART_PASSWORD);
    parts.decodedPassword = parsed.part(CURLUPART_PASSWORD, CURLU_URLDECODE);
    parts.host = parsed.part(CURLUPART_HOST);
    parts.port = parsed.part(CURLUPART_PORT);
    return parts;
}

// A text with the proxy's password taken out: the setting as written, wherever libcurl quotes it
// whole, and the password as the parser reads it, written or decoded. A setting the parser cannot
// read never reaches a connection, so libcurl can only quote it whole.
QString withoutProxyPassword(QString text, const QString &proxy)
{
    if (proxy.isEmpty() || text.isEmpty())
        return text;
    text.replace(proxy, maskedProxy(proxy));
    const ProxyParts parts = proxyParts(proxy);
    for (const QByteArray &secret : {parts.password, parts.decodedPassword}) {
        if (!secret.isEmpty())
            text.replace(QString::fromUtf8(secret), QStringLiteral("***"));
    }
    return text;
}

// Why a redirect from `from` to `to` is not followed, naming the target's host; empty when it stays
// with the same scheme, host and port (or goes up from http to https there).
QString foreignRedirect(const QByteArray &from, const char *to)
{
    UrlHandle origin;
    UrlHandle target;
    if (curl_url_set(origin.url, CURLUPART_URL, from.constData(), 0) != CURLUE_OK ||
        curl_url_set(target.url, CURLUPART_URL, to, 0) != CURLUE_OK)
        return QStringLiteral("Redirect refused: its target is not a URL");
    const QByteArray fromScheme = origin.part(CURLUPART_SCHEME).toLower();
    const QByteArray toScheme = target.part(CURLUPART_SCHEME).toLower();
    const QByteArray toHost = target.part(CURLUPART_HOST).toLower();
    const QByteArray toPort = target.part(CURLUPART_PORT, CURLU_DEFAULT_PORT);
    // Only the characters a host name or an address holds: the text goes into log lines.
    QString named;
    for (const char c : QByteArray(toHost + ':' + toPort)) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-' || c == ':' ||
                           c == '[' || c == ']';
        named += plain ? QLatin1Char(c) : QLatin1Char('?');
        if (named.size() >= 120)
            break;
    }
    if (fromScheme == "https" && toScheme != "https")
        return QStringLiteral("Redirect from https to %1 refused: %2").arg(QString::fromLatin1(toScheme.left(10)), named);
    const bool sameHost = toHost == origin.part(CURLUPART_HOST).toLower() &&
                          toPort == origin.part(CURLUPART_PORT, CURLU_DEFAULT_PORT);
    if (!sameHost)
        return QStringLiteral("Redirect to another host refused: %1").arg(named);
    return {};
}

} // namespace

struct HttpClient::Private
{
    CURL *curl = nullptr;
    TlsOptions tls;
    QString url;
    QString referer;
    QString accept = QStringLiteral("image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*");
    QString userAgent = QStringLiteral("Mozilla/4.0");
    QString contentType = QStringLiteral("application/x-www-form-urlencoded");
    int timeout = 30;
    int overallMs = kDefaultOverallTimeoutMs;
    std::optional<std::chrono::steady_clock::time_point> sharedDeadline;
    qint64 maxBody = kRegistryMaxBodyBytes;
    QList<QByteArray> extraLines;
    QString cookie;
    HeaderHook hook;
    const std::atomic<bool> *abortFlag = nullptr;

    // The response being received (the last one once a request has ended).
    int status = 0;
    bool statusLineSeen = false;
    QByteArray headers; // status line and header lines, CR LF after each
    QByteArray reason;
    QByteArray body;
    qsizetype headerBytes = 0; // all header lines of the exchange, interim responses included
    // Why a callback refused the rest of the reply (a bound passed, or memory ran out); empty if none.
    QString cutShort;
    HttpFailure cutShortKind = HttpFailure::None;
    std::chrono::steady_clock::time_point deadline; // of the request in progress
    qint64 deadlineMs = 0;                          // how long that request was allowed, for the text
    char errorBuffer[CURL_ERROR_SIZE] = {};

    HttpResult request(bool post, const QByteArray &postBody, QByteArray &received);
    // One exchange with no redirect followed. Fills status, headers and body; a failure comes back
    // as a result whose ok is false.
    HttpResult exchange(const QByteArray &target, bool post, const QByteArray &postBody);
    HttpResult transportFailure(CURLcode code, bool secure);
    HttpResult deadlinePassed();
    void resetResponse();
    // Refuses the rest of the reply: the transfer ends and what came is dropped.
    size_t refuse(HttpFailure kind, const QString &why);

    static size_t onHeader(char *data, size_t size, size_t count, void *self);
    static size_t onBody(char *data, size_t size, size_t count, void *self);
    static int onProgress(void *self, curl_off_t, curl_off_t, curl_off_t, curl_off_t);
};

size_t HttpClient::Private::refuse(HttpFailure kind, const QString &why)
{
    cutShort = why;
    cutShortKind = kind;
    body = QByteArray();
    return 0; // fewer bytes than handed over: libcurl ends the transfer
}

// Both callbacks are called from libcurl's C code: nothing may be thrown through it.
size_t HttpClient::Private::onHeader(char *data, size_t size, size_t count, void *self)
{
    auto *d = static_cast<Private *>(self);
    const size_t length = size * count;
    try {
        if (length > size_t(kMaxHeaderLineBytes))
            return d->refuse(HttpFailure::TooLarge, QStringLiteral("Reply header line longer than %1 KiB").arg(kMaxHeaderLineBytes >> 10));
        d->headerBytes += qsizetype(length);
        if (d->headerBytes > kMaxHeaderBytes)
            return d->refuse(HttpFailure::TooLarge, QStringLiteral("Reply header lines longer than %1 KiB").arg(kMaxHeaderBytes >> 10));
        const QByteArray line = withoutLineEnd(QByteArray(data, qsizetype(length)));
        if (line.startsWith("HTTP/")) {
            // A new response begins (after an interim one, the previous lines no longer count).
            d->headers.clear();
            d->statusLineSeen = true;
            d->reason = reasonPhrase(line);
        }
        if (!line.isEmpty())
            d->headers += line + "\r\n";
        return length;
    } catch (...) {
        return d->refuse(HttpFailure::Other, QStringLiteral("Out of memory while receiving the reply"));
    }
}

size_t HttpClient::Private::onBody(char *data, size_t size, size_t count, void *self)
{
    auto *d = static_cast<Private *>(self);
    const size_t length = size * count;
    try {
        if (qint64(d->body.size()) + qint64(length) > d->maxBody)
            return d->refuse(HttpFailure::TooLarge,
                             QStringLiteral("Reply body longer than %1 bytes, dropped").arg(d->maxBody));
        d->body.append(data, qsizetype(length));
        return length;
    } catch (...) {
        return d->refuse(HttpFailure::Other, QStringLiteral("Out of memory while receiving the reply"));
    }
}

int HttpClient::Private::onProgress(void *self, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    const std::atomic<bool> *flag = static_cast<Private *>(self)->abortFlag;
    return flag && flag->load() ? 1 : 0;
}

HttpResult HttpClient::Private::deadlinePassed()
{
    HttpResult result;
    result.status = status = 404;
    result.failure = HttpFailure::Timeout;
    result.error = QStringLiteral("Request aborted: no whole reply within %1 s").arg(std::max<qint64>(0, deadlineMs + 999) / 1000);
    body = QByteArray();
    return result;
}

HttpResult HttpClient::Private::transportFailure(CURLcode code, bool secure)
{
    HttpResult result;
    result.status = status;
    if (!cutShort.isEmpty()) {
        result.failure = cutShortKind;
        result.error = cutShort;
        return result;
    }
    // The overall deadline and the inactivity time-out both end a transfer with code 28. libcurl
    // counts the deadline from its own start, a little after ours: a time-out that close to the
    // deadline is the deadline's (the inactivity time-out is a whole number of seconds).
    if (code == CURLE_OPERATION_TIMEDOUT && std::chrono::steady_clock::now() + std::chrono::milliseconds(250) >= deadline)
        return deadlinePassed();
    result.curlCode = code;
    // Timed out before the connection was made: for https the TLS handshake with the host (through
    // the proxy's tunnel, when there is one) never ended.
    curl_off_t connectedAt = 0;
    curl_easy_getinfo(curl, secure ? CURLINFO_APPCONNECT_TIME_T : CURLINFO_CONNECT_TIME_T, &connectedAt);
    long osError = 0;
    curl_easy_getinfo(curl, CURLINFO_OS_ERRNO, &osError);
    result.connectTimedOut = (code == CURLE_OPERATION_TIMEDOUT && connectedAt == 0) ||
                             (code == CURLE_COULDNT_CONNECT && osError == ETIMEDOUT);
    if (code == CURLE_OPERATION_TIMEDOUT) {
        result.status = status = 404;
        result.failure = HttpFailure::Timeout;
        result.error = QStringLiteral("Request aborted on timeout");
    } else if (long connectCode = 0;
               curl_easy_getinfo(curl, CURLINFO_HTTP_CONNECTCODE, &connectCode) == CURLE_OK && connectCode >= 300) {
        // The proxy answered the tunnel's CONNECT with a refusal; its answer never reaches the
        // header callback, so without this it would read as a connection closed before any status.
        result.failure = HttpFailure::ProxyRefused;
        result.error = connectCode == 407
                           ? QStringLiteral("Прокси отказал в доступе: имя пользователя или пароль в ключе Proxy не подошли "
                                            "(ответ прокси 407)")
                           : QStringLiteral("Прокси отказался соединить с узлом (ответ прокси %1)").arg(connectCode);
    } else if (code == CURLE_GOT_NOTHING || (code == CURLE_RECV_ERROR && !statusLineSeen)) {
        result.failure = HttpFailure::Closed;
        result.error = QStringLiteral("HTTP no status code (connection closed prematurely)");
    } else if (code == CURLE_ABORTED_BY_CALLBACK) {
        result.failure = HttpFailure::Aborted;
        result.error = QStringLiteral("Request aborted");
    } else {
        result.failure = failureKind(code);
        result.error = QString::fromUtf8(errorBuffer[0] ? errorBuffer : curl_easy_strerror(code));
    }
    return result;
}

void HttpClient::Private::resetResponse()
{
    status = 0;
    statusLineSeen = false;
    headers.clear();
    reason.clear();
    body = QByteArray();
    headerBytes = 0;
    cutShort.clear();
    cutShortKind = HttpFailure::None;
    errorBuffer[0] = 0;
}

HttpResult HttpClient::Private::exchange(const QByteArray &target, bool post, const QByteArray &postBody)
{
    resetResponse();

    HttpResult failed;
    failed.failure = HttpFailure::Other;
    UrlHandle parsed;
    if (const CURLUcode code = curl_url_set(parsed.url, CURLUPART_URL, target.constData(), 0); code != CURLUE_OK) {
        failed.error = QStringLiteral("Bad URL \"%1\": %2")
                           .arg(QString::fromUtf8(target), QString::fromUtf8(curl_url_strerror(code)));
        return failed;
    }
    QByteArray host = parsed.part(CURLUPART_HOST);
    const QByteArray port = parsed.part(CURLUPART_PORT, CURLU_DEFAULT_PORT);
    if (port != "80" && port != "443")
        host += ':' + port;

    QList<QByteArray> lines{"Host: " + host};
    if (!accept.isEmpty())
        lines << "Accept: " + accept.toUtf8();
    if (!referer.isEmpty())
        lines << "Referer: " + referer.toUtf8();
    if (!userAgent.isEmpty())
        lines << "User-Agent: " + userAgent.toUtf8();
    if (post) {
        if (!contentType.isEmpty())
            lines << "Content-Type: " + contentType.toUtf8();
        lines << "Content-Length: " + QByteArray::number(postBody.size());
    }
    lines += extraLines;
    if (!cookie.isEmpty())
        lines << "Cookie: " + cookie.toUtf8();
    if (hook)
        hook(lines);

    HeaderList list;
    for (const QByteArray &line : std::as_const(lines)) {
        // A line break inside a value would let it forge further header lines or a second request.
        // Its value is never quoted: for the Authorization line that would be part of the token.
        if (holdsLineBreak(line)) {
            failed.error = QStringLiteral("Header line %1 holds a line break").arg(headerName(line));
            return failed;
        }
        if (!list.append(line)) {
            failed.error = QStringLiteral("Out of memory");
            return failed;
        }
    }
    // Name-only entries tell libcurl to add none of its own lines of these names.
    for (const char *suppressed : {"Accept:", "Expect:", "Content-Type:", "Transfer-Encoding:", "Connection:"}) {
        if (!list.append(suppressed)) {
            failed.error = QStringLiteral("Out of memory");
            return failed;
        }
    }

    // What is left of the request's deadline; none left, nothing is sent.
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0)
        return deadlinePassed();

    CURL *c = curl;
    curl_easy_reset(c);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(c, CURLOPT_URL, target.constData());
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_0));
    curl_easy_setopt(c, CURLOPT_IPRESOLVE, long(CURL_IPRESOLVE_V4));
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    // Without a proxy of our own, "" keeps libcurl from taking one from the environment; with one,
    // an empty no-proxy list keeps the environment's NO_PROXY from sending some hosts around it, and
    // our header lines go to the host only, never into the proxy's CONNECT request.
    const QByteArray proxy = tls.proxy.toUtf8();
    curl_easy_setopt(c, CURLOPT_PROXY, proxy.constData());
    curl_easy_setopt(c, CURLOPT_NOPROXY, "");
    curl_easy_setopt(c, CURLOPT_HEADEROPT, long(CURLHEADER_SEPARATE));
    // The proxy's answer to CONNECT is not the host's: it must not reach the received header lines.
    curl_easy_setopt(c, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, list.list);
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, &Private::onHeader);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &Private::onBody);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, &Private::onProgress);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, long(left.count()));
    if (timeout > 0) {
        // The low-speed limit does not watch the TLS handshake; the connect time-out does.
        curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, long(timeout));
        curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, long(timeout));
    }
    curl_easy_setopt(c, CURLOPT_SSLVERSION, long(CURL_SSLVERSION_TLSv1_2) | long(CURL_SSLVERSION_MAX_DEFAULT));
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, tls.verifyPeer ? 1L : 0L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, tls.verifyPeer ? 2L : 0L);
    // libcurl takes the path in UTF-8 on Windows too (its Schannel code converts it to UTF-16),
    // and Qt's 8-bit encoding of a path is UTF-8 elsewhere.
    const QByteArray caFile = tls.caFile.toUtf8();
    if (tls.verifyPeer && !caFile.isEmpty())
        curl_easy_setopt(c, CURLOPT_CAINFO, caFile.constData());
#ifdef Q_OS_WIN
    if (tls.verifyPeer) {
        // The system store is Windows' own: Schannel takes it when no file is given, and a libcurl
        // built on another TLS library is told to. A revocation list or responder that cannot be
        // reached (an office firewall, a proxy) does not fail the request; a certificate known to
        // be revoked still does.
        long options = CURLSSLOPT_REVOKE_BEST_EFFORT;
        if (caFile.isEmpty())
            options |= CURLSSLOPT_NATIVE_CA;
        curl_easy_setopt(c, CURLOPT_SSL_OPTIONS, options);
    }
#endif
    if (post) {
        curl_easy_setopt(c, CURLOPT_POST, 1L);
        curl_easy_setopt(c, CURLOPT_POSTFIELDS, postBody.constData());
        curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(postBody.size()));
    } else {
        curl_easy_setopt(c, CURLOPT_HTTPGET, 1L);
    }

    const CURLcode code = curl_easy_perform(c);
    long responseCode = 0;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &responseCode);
    status = int(responseCode);
    // The header list and the buffers above die with this call: leave nothing pointing at them.
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, nullptr);
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, nullptr);
    if (code != CURLE_OK)
        return transportFailure(code, parsed.part(CURLUPART_SCHEME).compare("https", Qt::CaseInsensitive) == 0);

    HttpResult result;
    result.status = status;
    result.ok = true;
    return result;
}

HttpResult HttpClient::Private::request(bool post, const QByteArray &postBody, QByteArray &received)
{
    if (!curl) {
        HttpResult failed;
        failed.failure = HttpFailure::Other;
        failed.error = QStringLiteral("The HTTP client could not be created");
        return failed;
    }
    resetResponse();
    const auto start = std::chrono::steady_clock::now();
    deadline = start + std::chrono::milliseconds(overallMs);
    if (sharedDeadline && *sharedDeadline < deadline)
        deadline = *sharedDeadline;
    deadlineMs = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - start).count();
    QByteArray target = url.toUtf8();
    QByteArray sendBody = postBody;
    for (int redirects = 0;; ++redirects) {
        if (abortFlag && abortFlag->load()) {
            HttpResult aborted;
            aborted.failure = HttpFailure::Aborted;
            aborted.error = QStringLiteral("Request aborted");
            return aborted;
        }
        HttpResult result = exchange(target, post, sendBody);
        if (!result.ok)
            return result;

        char *location = nullptr;
        curl_easy_getinfo(curl, CURLINFO_REDIRECT_URL, &location);
        const bool redirect =
            location && (status == 301 || status == 302 || status == 303 || status == 307 || status == 308);
        if (!redirect) {
            received += body;
            if (status >= 400 && status != 401 && status != 407) {
                result.ok = false;
                result.failure = HttpFailure::Status;
                result.error = QString::fromUtf8(reason);
            }
            return result;
        }
        if (redirects == maxRedirects) {
            result.ok = false;
            result.failure = HttpFailure::Other;
            result.error = QStringLiteral("Maximum (%1) redirects followed").arg(maxRedirects);
            return result;
        }
        // The Authorization line, a cookie and the body go only where the caller sent them: a
        // redirect elsewhere, or down to plain http, is not followed at all.
        if (const QString refused = foreignRedirect(target, location); !refused.isEmpty()) {
            result.ok = false;
            result.failure = HttpFailure::Redirect;
            result.error = refused;
            return result;
        }
        // As browsers do: 301, 302 and 303 turn a POST into a GET without a body; 307 and 308 repeat it.
        target = location;
        if (post && status != 307 && status != 308) {
            post = false;
            sendBody.clear();
        }
    }
}

HttpClient::HttpClient(const TlsOptions &tls) : d(std::make_unique<Private>())
{
    d->tls = tls;
    d->curl = curl_easy_init();
}

HttpClient::~HttpClient()
{
    if (d->curl)
        curl_easy_cleanup(d->curl);
}

void HttpClient::setUrl(const QString &url)
{
    d->url = url;
}

void HttpClient::setReferer(const QString &referer)
{
    d->referer = referer;
}

void HttpClient::setAccept(const QString &accept)
{
    d->accept = accept;
}

void HttpClient::setUserAgent(const QString &userAgent)
{
    d->userAgent = userAgent;
}

void HttpClient::setTimeout(int seconds)
{
    d->timeout = seconds;
}

void HttpClient::setOverallTimeout(int milliseconds)
{
    d->overallMs = std::max(1, milliseconds);
}

void HttpClient::setDeadline(std::chrono::steady_clock::time_point deadline)
{
    d->sharedDeadline = deadline;
}

void HttpClient::clearDeadline()
{
    d->sharedDeadline.reset();
}

void HttpClient::setMaxBodyBytes(qint64 bytes)
{
    d->maxBody = std::max<qint64>(0, bytes);
}

void HttpClient::setContentType(const QString &contentType)
{
    d->contentType = contentType;
}

void HttpClient::addHeaderLine(const QString &line)
{
    if (line.indexOf(QLatin1String(": ")) >= 1)
        d->extraLines << line.toUtf8();
}

void HttpClient::setCookie(const QString &cookie)
{
    d->cookie = cookie;
}

void HttpClient::setHeaderHook(HeaderHook hook)
{
    d->hook = std::move(hook);
}

void HttpClient::setAbortFlag(const std::atomic<bool> *flag)
{
    d->abortFlag = flag;
}

namespace {

// A request that ran out of memory fails like any other: nothing is thrown to the caller's thread.
template<typename Fn>
HttpResult failingOnException(Fn &&fn)
{
    try {
        return fn();
    } catch (...) {
        HttpResult failed;
        failed.failure = HttpFailure::Other;
        failed.error = QStringLiteral("Out of memory while handling the reply");
        return failed;
    }
}

} // namespace

// Every failure text leaves the client without the proxy's password, whichever step wrote it.
HttpResult HttpClient::get(QByteArray &received)
{
    HttpResult result = failingOnException([&] { return d->request(false, {}, received); });
    result.error = withoutProxyPassword(result.error, d->tls.proxy);
    return result;
}

HttpResult HttpClient::post(const QByteArray &body, QByteArray &received)
{
    HttpResult result = failingOnException([&] { return d->request(true, body, received); });
    result.error = withoutProxyPassword(result.error, d->tls.proxy);
    return result;
}

int HttpClient::statusCode() const
{
    return d->status;
}

QString HttpClient::receivedHeaders() const
{
    return QString::fromUtf8(d->headers);
}

void HttpClient::processPendingEvents(int milliseconds, const std::function<bool()> &stopEarly)
{
    using namespace std::chrono;
    const auto deadline = steady_clock::now() + milliseconds * 1ms;
    while (!(stopEarly && stopEarly())) {
        const auto left = deadline - steady_clock::now();
        if (left <= 0ms)
            return;
        std::this_thread::sleep_for(std::min<steady_clock::duration>(left, 10ms));
    }
}

QString expectedTlsLibrary()
{
#ifdef Q_OS_WIN
    return QStringLiteral("Schannel");
#else
    return QStringLiteral("OpenSSL");
#endif
}

bool namesTlsLibrary(const char *sslVersion, const QString &library)
{
    if (!sslVersion || library.isEmpty())
        return false;
    // Each library is a name, mostly followed by "/version"; one that is not the default is in
    // parentheses.
    static const QRegularExpression separators(QStringLiteral("[\\s()/,]+"));
    const QStringList words = QString::fromLatin1(sslVersion).split(separators, Qt::SkipEmptyParts);
    return std::any_of(words.begin(), words.end(),
                       [&library](const QString &word) { return word.compare(library, Qt::CaseInsensitive) == 0; });
}

bool usesExpectedTlsLibrary()
{
    const curl_version_info_data *info = curl_version_info(CURLVERSION_NOW);
    return info && namesTlsLibrary(info->ssl_version, expectedTlsLibrary());
}

void releaseThreadTlsState()
{
#ifndef Q_OS_WIN
    OPENSSL_thread_stop();
#endif
}

std::optional<QString> headerValue(const QString &headerLines, QStringView name)
{
    const QStringList values = headerValues(headerLines, name);
    return values.isEmpty() ? std::nullopt : std::optional<QString>(values.first());
}

QStringList headerValues(const QString &headerLines, QStringView name)
{
    QStringList values;
    for (QStringView line : QStringView(headerLines).split(u'\n')) {
        const qsizetype colon = line.indexOf(u':');
        if (colon > 0 && line.first(colon).trimmed().compare(name, Qt::CaseInsensitive) == 0)
            values.append(line.mid(colon + 1).trimmed().toString());
    }
    return values;
}

QString maskedProxy(const QString &proxy)
{
    if (proxy.isEmpty())
        return proxy;
    const ProxyParts parts = proxyParts(proxy);
    // Unreadable as a URL, it may hold the password anywhere: nothing of it is shown.
    if (!parts.parsed)
        return QStringLiteral("*** (адрес прокси не разобран)");
    QByteArray shown = parts.scheme + "://";
    if (parts.user) {
        shown += *parts.user;
        if (!parts.password.isEmpty())
            shown += ":***";
        shown += '@';
    }
    shown += parts.host;
    if (!parts.port.isEmpty())
        shown += ':' + parts.port;
    return QString::fromUtf8(shown);
}
