#include "registrysim.h"

#include <QDateTime>
#include <QLocale>
#include <QMessageAuthenticationCode>
#include <QSet>
#include <QUrl>
#include <QUuid>
#include <deque>
#include <map>
#include <mutex>

using namespace Qt::StringLiterals;

namespace {

constexpr QByteArrayView kSearchPath = "/api/v1/rds/common/declarations/get";
constexpr QByteArrayView kDetailPrefix = "/api/v1/rds/common/declarations/";

QByteArray httpDate()
{
    return QLocale::c().toString(QDateTime::currentDateTimeUtc(), u"ddd, dd MMM yyyy HH:mm:ss 'GMT'").toLatin1();
}

QByteArray compact(const SimJson &json)
{
    return QByteArray::fromStdString(json.dump(-1, ' ', false, SimJson::error_handler_t::replace));
}

QByteArray reasonOf(int code)
{
    switch (code) {
    case 200:
        return "OK";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 407:
        return "Proxy Authentication Required";
    case 429:
        return "Too Many Requests";
    case 500:
        return "Internal Server Error";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Temporarily Unavailable"; // nginx's wording
    case 504:
        return "Gateway Time-out";
    default:
        return "Error";
    }
}

// Replies of the registry: nginx in front of a JSON service.
SimReply jsonReply(int status, const QByteArray &body)
{
    SimReply reply;
    reply.status = status;
    reply.reason = reasonOf(status);
    reply.headers = {{"Server", "nginx"},
                     {"Date", httpDate()},
                     {"Content-Type", "application/json"},
                     {"X-Content-Type-Options", "nosniff"},
                     {"X-XSS-Protection", "1; mode=block"},
                     {"Cache-Control", "no-cache, no-store, max-age=0, must-revalidate"}};
    reply.body = body;
    return reply;
}

// A JSON object reply made about `bytes` long by a last string member "pad" of letters (no blank:
// a compact reply, as the registry sends them), made as it goes so it costs no memory here.
SimReply padded(SimReply reply, qint64 bytes)
{
    if (bytes <= 0 || !reply.body.endsWith('}'))
        return reply;
    reply.body.chop(1);
    reply.body += reply.body.endsWith('{') ? "\"pad\":\"" : ",\"pad\":\"";
    reply.tail = "\"}";
    reply.padding = std::max<qint64>(0, bytes - reply.body.size() - reply.tail.size());
    reply.paddingByte = 'x';
    return reply;
}

// The error body of the service behind nginx.
SimReply registryError(int status, const QByteArray &path, const QString &message = QString())
{
    SimJson body = SimJson::object();
    body["timestamp"] = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs).toStdString();
    body["status"] = status;
    body["error"] = reasonOf(status).toStdString();
    body["message"] = message.toStdString();
    body["path"] = path.toStdString();
    return jsonReply(status, compact(body));
}

SimReply botReply(int status, const SimJson &body)
{
    SimReply reply;
    reply.status = status;
    reply.reason = reasonOf(status);
    reply.headers = {{"Server", "nginx/1.18.0"},
                     {"Date", httpDate()},
                     {"Content-Type", "application/json"},
                     {"Access-Control-Allow-Origin", "*"}};
    reply.body = compact(body);
    return reply;
}

SimReply botError(int status, const char *description)
{
    SimJson body = SimJson::object();
    body["ok"] = false;
    body["error_code"] = status;
    body["description"] = description;
    return botReply(status, body);
}

QByteArray base64Url(const QByteArray &bytes)
{
    return bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
}

// A token shaped like the registry's: an HS512 JWT with iss, sub and exp (eight hours), signed with a
// key of the double's own.
QByteArray makeToken(const QString &user)
{
    const QByteArray header = base64Url(R"({"alg":"HS512"})");
    SimJson claims = SimJson::object();
    claims["iss"] = QUuid::createUuid().toString(QUuid::WithoutBraces).toStdString();
    claims["sub"] = user.toStdString();
    claims["exp"] = QDateTime::currentSecsSinceEpoch() + 28800;
    const QByteArray payload = base64Url(compact(claims));
    const QByteArray signature = QMessageAuthenticationCode::hash(header + '.' + payload, "registry-sim signing key",
                                                                  QCryptographicHash::Sha512);
    return header + '.' + payload + '.' + base64Url(signature);
}

QByteArray headerValue(const RecordedRequest &request, QByteArrayView name)
{
    for (const QByteArray &line : request.headerLines) {
        const qsizetype colon = line.indexOf(':');
        if (colon > 0 && QByteArrayView(line).first(colon).trimmed().compare(name, Qt::CaseInsensitive) == 0)
            return line.mid(colon + 1).trimmed();
    }
    return QByteArray();
}

QByteArray pathOf(const QByteArray &target)
{
    const qsizetype query = target.indexOf('?');
    return query < 0 ? target : target.left(query);
}

SimJson parseBody(const QByteArray &body)
{
    return SimJson::parse(body.constData(), body.constData() + body.size(), nullptr, false);
}

// A date member of the search filter: "yyyy-mm-dd", or null / absent for an open bound.
bool readDate(const SimJson &parent, const char *key, QDate *date)
{
    if (!parent.is_object() || !parent.contains(key) || parent[key].is_null())
        return true;
    if (!parent[key].is_string())
        return false;
    *date = QDate::fromString(QString::fromStdString(parent[key].get<std::string>()), u"yyyy-MM-dd");
    return date->isValid();
}

QByteArray formValue(const QByteArray &body, QByteArrayView key)
{
    for (const QByteArray &pair : body.split('&')) {
        const qsizetype eq = pair.indexOf('=');
        if (eq >= 0 && QByteArrayView(pair).first(eq) == key) {
            QByteArray value = pair.mid(eq + 1);
            value.replace('+', ' ');
            return QByteArray::fromPercentEncoding(value);
        }
    }
    return QByteArray();
}

struct Fault
{
    SimReply reply;
    int remaining;
};

} // namespace

struct RegistrySim::Private
{
    SimOptions options;
    Dataset dataset;
    std::optional<FixtureSet> fixtures;
    std::unique_ptr<HttpsServer> server;

    mutable std::mutex mutex; // guards everything below
    QSet<QByteArray> validTokens;
    QByteArray currentToken;
    QList<QByteArray> issuedTokens;
    qint64 totalQuirk = 0;
    std::map<Endpoint, std::deque<Fault>> faults;
    QList<SimBotMessage> botMessages;
    qint64 nextMessageId = 1;

    QSet<QByteArray> sessionCookies; // values of "session-cookie" that the declarations page set
    int detailsAnswered = 0;

    // The request carries a session cookie that the declarations page set.
    bool carriesSessionCookie(const RecordedRequest &request) const
    {
        std::lock_guard lock(mutex);
        for (const QByteArray &pair : headerValue(request, "Cookie").split(';')) {
            const QByteArray trimmed = pair.trimmed();
            if (trimmed.startsWith("session-cookie=") && sessionCookies.contains(trimmed.mid(15)))
                return true;
        }
        return false;
    }

    bool authorized(const RecordedRequest &request) const
    {
        const QByteArray value = headerValue(request, "Authorization");
        if (!value.startsWith("Bearer "))
            return false;
        std::lock_guard lock(mutex);
        return validTokens.contains(value.mid(7).trimmed());
    }

    SimReply login(const RecordedRequest &request);
    SimReply dictionary(const RecordedRequest &request);
    SimReply search(const RecordedRequest &request);
    SimReply detail(const RecordedRequest &request);
    SimReply lookup(const RecordedRequest &request);
    SimReply bot(const RecordedRequest &request);
    SimReply declarationPage(const RecordedRequest &request);
};

RegistrySim::RegistrySim(SimOptions options) : d(std::make_unique<Private>())
{
    d->options = std::move(options);
    d->totalQuirk = d->options.totalQuirk;
    d->dataset = Dataset::generate(d->options.dataset);
    d->server = std::make_unique<HttpsServer>([this](const RecordedRequest &request) { return handle(request); });
}

RegistrySim::~RegistrySim()
{
    stop();
}

bool RegistrySim::start(QString *error)
{
    if (!d->options.fixturesDir.isEmpty() && !d->fixtures) {
        d->fixtures = FixtureSet::load(d->options.fixturesDir, error);
        if (!d->fixtures)
            return false;
    }
    return d->server->start(d->options.port, error);
}

void RegistrySim::stop()
{
    d->server->stop();
}

QString RegistrySim::baseUrl() const
{
    return d->server->baseUrl();
}

quint16 RegistrySim::port() const
{
    return d->server->port();
}

QByteArray RegistrySim::certificatePem() const
{
    return d->server->certificatePem();
}

QList<RecordedRequest> RegistrySim::requests() const
{
    return d->server->requests();
}

QList<RecordedRequest> RegistrySim::requests(Endpoint endpoint) const
{
    QList<RecordedRequest> picked;
    for (const RecordedRequest &request : d->server->requests()) {
        if (endpointOf(request) == endpoint)
            picked.append(request);
    }
    return picked;
}

void RegistrySim::clearRequests()
{
    d->server->clearRequests();
}

RegistrySim::Endpoint RegistrySim::endpointOf(const RecordedRequest &request)
{
    const QByteArray path = pathOf(request.target);
    if (path == "/login")
        return Endpoint::Login;
    if (path == "/nsi/api/dicNormDoc/get")
        return Endpoint::Dictionary;
    if (path == kSearchPath)
        return Endpoint::Search;
    if (path.startsWith(kDetailPrefix) && path.size() > kDetailPrefix.size())
        return Endpoint::Detail;
    if (path == "/nsi/api/multi")
        return Endpoint::Lookup;
    if (path.startsWith("/bot"))
        return Endpoint::BotApi;
    if (path == "/rds/declaration")
        return Endpoint::DeclarationPage;
    return Endpoint::Other;
}

const SimOptions &RegistrySim::options() const
{
    return d->options;
}

const Dataset &RegistrySim::dataset() const
{
    return d->dataset;
}

const FixtureSet *RegistrySim::fixtures() const
{
    return d->fixtures ? &*d->fixtures : nullptr;
}

QList<QByteArray> RegistrySim::issuedTokens() const
{
    std::lock_guard lock(d->mutex);
    return d->issuedTokens;
}

QByteArray RegistrySim::currentToken() const
{
    std::lock_guard lock(d->mutex);
    return d->currentToken;
}

void RegistrySim::expireToken()
{
    std::lock_guard lock(d->mutex);
    d->validTokens.clear();
}

void RegistrySim::setTotalQuirk(qint64 total)
{
    std::lock_guard lock(d->mutex);
    d->totalQuirk = total;
}

void RegistrySim::injectFault(Endpoint endpoint, const SimReply &reply, int count)
{
    if (count <= 0)
        return;
    std::lock_guard lock(d->mutex);
    d->faults[endpoint].push_back({reply, count});
}

void RegistrySim::clearFaults()
{
    std::lock_guard lock(d->mutex);
    d->faults.clear();
}

QList<SimBotMessage> RegistrySim::botMessages() const
{
    std::lock_guard lock(d->mutex);
    return d->botMessages;
}

SimReply RegistrySim::handle(const RecordedRequest &request)
{
    const Endpoint endpoint = endpointOf(request);
    std::optional<SimReply> fault;
    {
        std::lock_guard lock(d->mutex);
        auto it = d->faults.find(endpoint);
        if (it != d->faults.end() && !it->second.empty()) {
            Fault &next = it->second.front();
            fault = next.reply;
            if (--next.remaining == 0)
                it->second.pop_front();
        }
    }
    // A stall or an early close never gets to the endpoint's own reply.
    if (fault && (fault->status != 0 || fault->stall || fault->closeBeforeStatus))
        return *fault;
    // Without the cookie the site's front refuses the request before the service sees it.
    const bool registryApi = endpoint == Endpoint::Login || endpoint == Endpoint::Dictionary ||
                             endpoint == Endpoint::Search || endpoint == Endpoint::Detail ||
                             endpoint == Endpoint::Lookup;
    if (registryApi && d->options.loginNeedsCookie && !d->carriesSessionCookie(request))
        return SimFault::status(403);

    SimReply reply;
    switch (endpoint) {
    case Endpoint::Login:
        reply = d->login(request);
        break;
    case Endpoint::Dictionary:
        reply = d->dictionary(request);
        break;
    case Endpoint::Search:
        reply = d->search(request);
        break;
    case Endpoint::Detail:
        reply = d->detail(request);
        break;
    case Endpoint::Lookup:
        reply = d->lookup(request);
        break;
    case Endpoint::BotApi:
        reply = d->bot(request);
        break;
    case Endpoint::DeclarationPage:
        reply = d->declarationPage(request);
        break;
    case Endpoint::Other:
        reply = registryError(404, pathOf(request.target));
        break;
    }
    if (fault) {
        reply.delayMs = fault->delayMs;
        reply.dripMs = fault->dripMs;
        // A reply without a body (the login's) drips blanks, or the drip would be no fault at all.
        if (reply.dripMs > 0 && reply.body.isEmpty())
            reply.body = QByteArray(4096, ' ');
        // A reply that an overloaded upstream ended early: the JSON stops in the middle.
        if (fault->halfBody)
            reply.body.truncate(reply.body.size() / 2);
    }
    if (endpoint == Endpoint::Detail && reply.status == 200 && d->options.revokeTokensAfterDetails > 0) {
        std::lock_guard lock(d->mutex);
        if (++d->detailsAnswered == d->options.revokeTokensAfterDetails)
            d->validTokens.clear();
    }
    return reply;
}

SimReply RegistrySim::Private::login(const RecordedRequest &request)
{
    const QByteArray path = pathOf(request.target);
    if (request.method != "POST")
        return registryError(405, path);
    // The body is JSON although the request says it is a form.
    const SimJson body = parseBody(request.body);
    const bool known = body.is_object() && body.contains("username") && body.contains("password") &&
                       body["username"] == options.loginUser.toStdString() &&
                       body["password"] == options.loginPassword.toStdString();
    if (!known)
        return registryError(401, path, u"Bad credentials"_s);

    const QByteArray token = makeToken(options.loginUser);
    {
        std::lock_guard lock(mutex);
        validTokens.insert(token);
        issuedTokens.append(token);
        currentToken = token;
    }
    SimReply reply;
    reply.headers = {{"Server", "nginx"},
                     {"Date", httpDate()},
                     {"Authorization", "Bearer " + token},
                     {"X-Content-Type-Options", "nosniff, nosniff"},
                     {"X-XSS-Protection", "1; mode=block"},
                     {"Cache-Control", "no-cache, no-store, max-age=0, must-revalidate"},
                     {"Pragma", "no-cache"},
                     {"Expires", "0"},
                     {"X-Frame-Options", "DENY, DENY"},
                     {"Strict-Transport-Security", "max-age=63072000; includeSubdomains"}};
    return reply;
}

SimReply RegistrySim::Private::declarationPage(const RecordedRequest &request)
{
    if (request.method != "GET")
        return registryError(405, pathOf(request.target));
    const QByteArray cookie = QUuid::createUuid().toRfc4122().toHex();
    {
        std::lock_guard lock(mutex);
        sessionCookies.insert(cookie);
    }
    SimReply reply;
    reply.headers = {{"Server", "nginx"},
                     {"Date", httpDate()},
                     {"Content-Type", "text/html;charset=UTF-8"},
                     {"Set-Cookie", "session-cookie=" + cookie + "; Max-Age=86400; Path=/; Secure; HttpOnly"},
                     {"X-Frame-Options", "DENY"}};
    reply.body = "<!DOCTYPE html><html lang=\"ru\"><head><meta charset=\"utf-8\"><title>Реестр деклараций"
                 "</title></head><body><app-root></app-root></body></html>\n";
    return reply;
}

SimReply RegistrySim::Private::dictionary(const RecordedRequest &request)
{
    const QByteArray path = pathOf(request.target);
    if (request.method != "POST")
        return registryError(405, path);
    if (!authorized(request))
        return registryError(401, path);
    const SimJson body = parseBody(request.body);
    if (!body.is_object())
        return registryError(400, path, u"Required request body is missing"_s);
    const qint64 offset =
        body.contains("offset") && body["offset"].is_number_integer() ? body["offset"].get<qint64>() : 0;
    const qint64 limit = body.contains("limit") && body["limit"].is_number_integer() ? body["limit"].get<qint64>() : 50;
    if (offset < 0 || limit < 0)
        return registryError(400, path, u"offset and limit must not be negative"_s);
    const QList<SimRegulation> &all = dataset.regulations();
    SimJson items = SimJson::array();
    for (qint64 i = offset; i < all.size() && i < offset + limit; ++i) {
        SimJson item = SimJson::object();
        item["id"] = all[i].id;
        item["displayName"] = all[i].displayName.toStdString();
        items.push_back(item);
    }
    SimJson reply = SimJson::object();
    reply["items"] = items;
    return jsonReply(200, compact(reply));
}

SimReply RegistrySim::Private::search(const RecordedRequest &request)
{
    const QByteArray path = pathOf(request.target);
    if (request.method != "POST")
        return registryError(405, path);
    if (!authorized(request))
        return registryError(401, path);
    const SimJson body = parseBody(request.body);
    if (!body.is_object() || !body.contains("page") || !body["page"].is_number_integer() ||
        body["page"].get<qint64>() < 0)
        return registryError(400, path, u"page is missing or not a number"_s);
    const qint64 page = std::min<qint64>(body["page"].get<qint64>(), 1000000000);

    if (fixtures) {
        if (page < fixtures->searchPages.size())
            return jsonReply(200, fixtures->searchPages[page]);
        return jsonReply(200, R"({"items":[],"total":0,"size":0})");
    }

    qint64 size = body.contains("size") && body["size"].is_number_integer() ? body["size"].get<qint64>() : 100;
    if (size <= 0)
        size = 100;
    size = std::min<qint64>(size, 10000); // keeps page * size far from overflowing
    SimSearchFilter filter;
    const SimJson none = SimJson::object();
    const SimJson &f = body.contains("filter") && body["filter"].is_object() ? body["filter"] : none;
    if (f.contains("status") && f["status"].is_array()) {
        for (const SimJson &status : f["status"]) {
            if (status.is_number_integer())
                filter.statuses.append(status.get<int>());
        }
    }
    if (f.contains("idTechReg") && f["idTechReg"].is_array()) {
        for (const SimJson &reg : f["idTechReg"]) {
            if (!reg.is_number_integer())
                return registryError(400, path, u"idTechReg holds something other than a number"_s);
            filter.regulations.append(reg.get<qint64>());
        }
    }
    const SimJson &endDate = f.contains("endDate") && f["endDate"].is_object() ? f["endDate"] : none;
    if (!readDate(endDate, "minDate", &filter.minEndDate) || !readDate(endDate, "maxDate", &filter.maxEndDate))
        return registryError(400, path, u"endDate is not a date"_s);

    const QList<const SimDeclaration *> found = dataset.search(filter);
    SimJson items = SimJson::array();
    for (qint64 i = page * size; i < found.size() && i < (page + 1) * size; ++i)
        items.push_back(dataset.searchItem(*found[i], options.applicantInnInSearch));
    qint64 total;
    {
        std::lock_guard lock(mutex);
        total = totalQuirk ? totalQuirk : found.size();
    }
    SimJson reply = SimJson::object();
    reply["items"] = items;
    reply["total"] = total;
    reply["size"] = total; // the registry repeats total here
    return jsonReply(200, compact(reply));
}

SimReply RegistrySim::Private::detail(const RecordedRequest &request)
{
    const QByteArray path = pathOf(request.target);
    if (request.method != "GET")
        return registryError(405, path);
    if (!authorized(request))
        return registryError(401, path);
    bool numeric = false;
    const qint64 id = path.mid(kDetailPrefix.size()).toLongLong(&numeric);
    if (fixtures) {
        const int index = numeric ? fixtures->detailIndex(id) : -1;
        if (index < 0)
            return registryError(404, path, u"Декларация не найдена"_s);
        return jsonReply(200, fixtures->details[index]);
    }
    const SimDeclaration *declaration = numeric ? dataset.declaration(id) : nullptr;
    if (!declaration)
        return registryError(404, path, u"Декларация не найдена"_s);
    return padded(jsonReply(200, compact(dataset.detail(*declaration))), this->options.padDetailsTo);
}

SimReply RegistrySim::Private::lookup(const RecordedRequest &request)
{
    const QByteArray path = pathOf(request.target);
    if (request.method != "POST")
        return registryError(405, path);
    if (!authorized(request))
        return registryError(401, path);
    const SimJson body = parseBody(request.body);
    if (!body.is_object() || !body.contains("items") || !body["items"].is_object())
        return registryError(400, path, u"items is missing"_s);
    if (fixtures) {
        // The lookup that follows a detail names it in its Referer.
        const QByteArray referer = QUrl(QString::fromLatin1(headerValue(request, "Referer"))).path().toLatin1();
        int index = 0;
        if (referer.startsWith(kDetailPrefix)) {
            bool numeric = false;
            const qint64 id = referer.mid(kDetailPrefix.size()).toLongLong(&numeric);
            index = numeric ? std::max(0, fixtures->detailIndex(id)) : 0;
        }
        return jsonReply(200, fixtures->lookups[std::min<qsizetype>(index, fixtures->lookups.size() - 1)]);
    }
    return padded(jsonReply(200, compact(dataset.lookup(body["items"]))), this->options.padLookupsTo);
}

SimReply RegistrySim::Private::bot(const RecordedRequest &request)
{
    // /bot<token>/<method>
    const QByteArray path = pathOf(request.target);
    const qsizetype slash = path.indexOf('/', 4);
    const QByteArray token = slash < 0 ? path.mid(4) : path.mid(4, slash - 4);
    const QByteArray method = slash < 0 ? QByteArray() : path.mid(slash + 1);
    if (token != options.botToken)
        return botError(401, "Unauthorized");
    if (method.compare("sendmessage", Qt::CaseInsensitive) != 0)
        return botError(404, "Not Found");

    const QString chatId = QString::fromUtf8(formValue(request.body, "chat_id"));
    const QString text = QString::fromUtf8(formValue(request.body, "text"));
    if (chatId.isEmpty())
        return botError(400, "Bad Request: chat_id is empty");
    if (!options.botChatId.isEmpty() && chatId != options.botChatId)
        return botError(400, "Bad Request: chat not found");
    if (text.isEmpty())
        return botError(400, "Bad Request: message text is empty");
    if (options.botBlocked)
        return botError(403, "Forbidden: bot was blocked by the user");

    qint64 messageId;
    {
        std::lock_guard lock(mutex);
        botMessages.append({chatId, text});
        messageId = nextMessageId++;
    }
    SimJson from = SimJson::object();
    from["id"] = options.botToken.left(options.botToken.indexOf(':')).toLongLong();
    from["is_bot"] = true;
    from["first_name"] = "Tavrosin Sim";
    from["username"] = options.botName.toStdString();
    SimJson chat = SimJson::object();
    bool numeric = false;
    const qint64 chatNumber = chatId.toLongLong(&numeric);
    chat["id"] = numeric ? SimJson(chatNumber) : SimJson(chatId.toStdString());
    chat["first_name"] = "Иван";
    if (!options.botUser.isEmpty())
        chat["username"] = options.botUser.toStdString();
    chat["type"] = "private";
    SimJson result = SimJson::object();
    result["message_id"] = messageId;
    result["from"] = from;
    result["chat"] = chat;
    result["date"] = QDateTime::currentSecsSinceEpoch();
    result["text"] = text.toStdString();
    SimJson reply = SimJson::object();
    reply["ok"] = true;
    reply["result"] = result;
    return botReply(200, reply);
}

namespace SimFault {

SimReply status(int code)
{
    SimReply reply;
    reply.status = code;
    reply.reason = reasonOf(code);
    const QByteArray title = QByteArray::number(code) + ' ' + reply.reason;
    reply.headers = {{"Server", "nginx"}, {"Date", httpDate()}, {"Content-Type", "text/html"}};
    reply.body = "<html>\r\n<head><title>" + title + "</title></head>\r\n<body>\r\n<center><h1>" + title +
                 "</h1></center>\r\n<hr><center>nginx</center>\r\n</body>\r\n</html>\r\n";
    return reply;
}

SimReply statusWithoutReason(int code)
{
    SimReply reply = status(code);
    reply.reason.clear();
    return reply;
}

SimReply emptyBody()
{
    SimReply reply;
    reply.headers = {{"Server", "nginx"}, {"Date", httpDate()}, {"Content-Type", "application/json"}};
    return reply;
}

SimReply htmlPage()
{
    SimReply reply;
    reply.headers = {{"Server", "nginx"}, {"Date", httpDate()}, {"Content-Type", "text/html; charset=utf-8"}};
    reply.body = QString(u"<!DOCTYPE html>\n<html lang=\"ru\">\n<head><meta charset=\"utf-8\"><title>Технические "
                         u"работы</title></head>\n<body><h1>Сайт временно недоступен</h1><p>Ведутся технические "
                         u"работы. Попробуйте зайти позже.</p></body>\n</html>\n"_s)
                     .toUtf8();
    return reply;
}

SimReply delay(int ms)
{
    SimReply reply;
    reply.status = 0;
    reply.delayMs = ms;
    return reply;
}

SimReply stall(int ms)
{
    SimReply reply;
    reply.status = 0;
    reply.stall = true;
    reply.stallMs = ms;
    return reply;
}

SimReply closeBeforeStatus()
{
    SimReply reply;
    reply.status = 0;
    reply.closeBeforeStatus = true;
    return reply;
}

SimReply drip(int intervalMs)
{
    SimReply reply;
    reply.status = 0;
    reply.dripMs = intervalMs;
    return reply;
}

SimReply cutShort()
{
    SimReply reply;
    reply.status = 0;
    reply.halfBody = true;
    return reply;
}

SimReply oversized(qint64 bytes)
{
    SimReply reply;
    reply.headers = {{"Server", "nginx"}, {"Date", httpDate()}, {"Content-Type", "application/json"}};
    // Passes every content check the program makes, so only its size can fail it.
    reply.body = R"({"items":[],"idDeclaration":1,"total":0,"pad":")";
    reply.padding = std::max<qint64>(0, bytes - reply.body.size());
    return reply;
}

SimReply redirect(const QByteArray &location, int code)
{
    SimReply reply;
    reply.status = code;
    reply.reason = code == 307 ? "Temporary Redirect" : (code == 308 ? "Permanent Redirect" : "Moved");
    reply.headers = {{"Server", "nginx"}, {"Date", httpDate()}, {"Location", location}};
    return reply;
}

SimReply retryAfter(int code, const QByteArray &value)
{
    SimReply reply = status(code);
    reply.headers.append({"Retry-After", value});
    return reply;
}

SimReply botTooManyRequests(int seconds)
{
    SimJson body = SimJson::object();
    body["ok"] = false;
    body["error_code"] = 429;
    body["description"] = "Too Many Requests: retry after " + std::to_string(seconds);
    body["parameters"] = SimJson::object();
    body["parameters"]["retry_after"] = seconds;
    return botReply(429, body);
}

SimReply botRefusal(int status, const char *description)
{
    return botError(status, description);
}

} // namespace SimFault
