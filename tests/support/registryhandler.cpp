#include "registryhandler.h"

#include <chrono>
#include <nlohmann/json.hpp>

namespace {

using OrderedJson = nlohmann::ordered_json;

constexpr qint64 kPageSize = 100;
const QByteArray kDetailPrefix = "/api/v1/rds/common/declarations/";

OrderedJson textOrNull(const std::optional<QString> &text)
{
    return text ? OrderedJson(text->toStdString()) : OrderedJson(nullptr);
}

// Ids made of digits go out as numbers, as the registry sends them.
OrderedJson idValue(const QString &id)
{
    bool isNumber = false;
    const qint64 number = id.toLongLong(&isNumber);
    return isNumber ? OrderedJson(number) : OrderedJson(id.toStdString());
}

QByteArray dump(const OrderedJson &value)
{
    return QByteArray::fromStdString(value.dump(-1, ' ', false, OrderedJson::error_handler_t::replace));
}

} // namespace

const QByteArray RegistryHandler::searchTarget = "/api/v1/rds/common/declarations/get";
const QByteArray RegistryHandler::lookupTarget = "/nsi/api/multi";
const QByteArray RegistryHandler::loginTarget = "/login";

QByteArray RegistryHandler::detailTarget(const QString &id)
{
    return kDetailPrefix + id.toUtf8();
}

HttpsServer::Handler RegistryHandler::handler()
{
    return [this](const RecordedRequest &request) { return handle(request); };
}

QByteArray RegistryHandler::searchPageTarget(qint64 page)
{
    return searchTarget + "|||" + QByteArray::number(page);
}

QByteArray RegistryHandler::targetOf(const RecordedRequest &request) const
{
    if (request.target == searchTarget) {
        const QList<qint64> page = searchPages({request});
        const QByteArray pageTarget = searchPageTarget(page.value(0, -1));
        if (m_heldTarget == pageTarget || m_faults.contains(pageTarget))
            return pageTarget;
    }
    return request.target;
}

SimReply RegistryHandler::handle(const RecordedRequest &request)
{
    std::unique_lock lock(m_mutex);
    const QByteArray target = targetOf(request);
    if (!m_heldTarget.isEmpty() && target == m_heldTarget) {
        if (m_holdPassing > 0)
            --m_holdPassing;
        else
            m_released.wait_for(lock, std::chrono::seconds(60), [this, &target] { return m_heldTarget != target; });
    }
    auto faults = m_faults.find(target);
    if (faults != m_faults.end() && !faults->isEmpty()) {
        Fault &fault = faults->first();
        const SimReply reply = fault.reply;
        if (fault.remaining > 0 && --fault.remaining == 0)
            faults->removeFirst();
        return reply;
    }
    return answer(request);
}

SimReply RegistryHandler::answer(const RecordedRequest &request)
{
    if (request.target == loginTarget) {
        if (m_loginSet)
            return m_login;
        SimReply reply;
        reply.headers.append(qMakePair(QByteArray("Authorization"), QByteArray("Bearer fresh-token")));
        return reply;
    }
    if (request.target == lookupTarget)
        return jsonReply(m_lookup);
    if (request.target == searchTarget) {
        const OrderedJson body = OrderedJson::parse(request.body.toStdString(), nullptr, false);
        const OrderedJson page = body.is_object() ? body.value("page", OrderedJson()) : OrderedJson();
        if (!page.is_number_integer())
            return statusReply(400, "Bad Request");
        OrderedJson items = OrderedJson::array();
        const qint64 first = page.get<qint64>() * kPageSize;
        for (qint64 i = first; i >= 0 && i < m_declarations.size() && i < first + kPageSize; ++i) {
            const FakeDeclaration &declaration = m_declarations.at(i);
            OrderedJson item;
            item["id"] = idValue(declaration.id);
            item["idStatus"] = 6;
            item["applicantName"] = textOrNull(declaration.applicantName);
            if (declaration.applicantInn)
                item["applicantInn"] = declaration.applicantInn->toStdString();
            items.push_back(item);
        }
        OrderedJson reply;
        reply["items"] = items;
        reply["total"] = m_total.value_or(m_declarations.size());
        return jsonReply(dump(reply));
    }
    if (request.method == "GET" && request.target.startsWith(kDetailPrefix)) {
        const QString id = QString::fromUtf8(request.target.mid(kDetailPrefix.size()));
        if (const auto detail = m_details.constFind(id); detail != m_details.cend())
            return jsonReply(*detail);
        for (const FakeDeclaration &declaration : std::as_const(m_declarations)) {
            if (declaration.id == id) {
                FakeApplicant applicant;
                applicant.inn = QStringLiteral("50000") + id;
                applicant.fullName = declaration.applicantName.value_or(QString());
                return jsonReply(detailBody(id, applicant));
            }
        }
    }
    return statusReply(404, "Not Found");
}

void RegistryHandler::setDeclarations(const QList<FakeDeclaration> &declarations)
{
    std::lock_guard lock(m_mutex);
    m_declarations = declarations;
}

void RegistryHandler::setTotal(qint64 total)
{
    std::lock_guard lock(m_mutex);
    m_total = total;
}

void RegistryHandler::setApplicant(const QString &id, const FakeApplicant &applicant)
{
    setDetailBody(id, detailBody(id, applicant));
}

void RegistryHandler::setDetailBody(const QString &id, const QByteArray &body)
{
    std::lock_guard lock(m_mutex);
    m_details.insert(id, body);
}

void RegistryHandler::setLookupBody(const QByteArray &body)
{
    std::lock_guard lock(m_mutex);
    m_lookup = body;
}

void RegistryHandler::setLoginReply(const SimReply &reply)
{
    std::lock_guard lock(m_mutex);
    m_login = reply;
    m_loginSet = true;
}

void RegistryHandler::addFault(const QByteArray &target, const SimReply &reply, int count)
{
    if (count == 0)
        return;
    std::lock_guard lock(m_mutex);
    m_faults[target].append(Fault{reply, count});
}

void RegistryHandler::holdRequests(const QByteArray &target, int passing)
{
    std::lock_guard lock(m_mutex);
    m_heldTarget = target;
    m_holdPassing = passing;
}

void RegistryHandler::release()
{
    {
        std::lock_guard lock(m_mutex);
        m_heldTarget.clear();
    }
    m_released.notify_all();
}

QByteArray RegistryHandler::detailBody(const QString &id, const FakeApplicant &applicant)
{
    OrderedJson address;
    address["idAddrType"] = 1;
    address["idSubject"] = "0c5b2444-70a0-4932-980c-b4dc0d3f02b5";
    address["fullAddress"] = "РОССИЯ, г. Москва, ул. Тестовая, д. " + id.toStdString();

    OrderedJson person;
    person["idLegalSubjectType"] = 1;
    person["fullName"] = applicant.fullName.toStdString();
    person["shortName"] = applicant.fullName.toStdString();
    person["inn"] = textOrNull(applicant.inn);
    person["ogrn"] = textOrNull(applicant.ogrn);
    person["addresses"] = OrderedJson::array({address});
    person["contacts"] = OrderedJson::array();
    person["responsibleContacts"] = OrderedJson::array();

    OrderedJson identification;
    identification["idTnveds"] = OrderedJson::array({7});

    OrderedJson detail;
    detail["idDeclaration"] = idValue(id);
    detail["idTechnicalReglaments"] = OrderedJson::array();
    detail["idGroups"] = OrderedJson::array({605});
    detail["number"] = "ЕАЭС N RU Д-RU.ТЕСТ.В." + id.toStdString() + "/24";
    detail["declRegDate"] = "2024-01-15";
    detail["declEndDate"] = "2027-01-14";
    detail["applicant"] = person;
    detail["product"]["identifications"] = OrderedJson::array({identification});
    return dump(detail);
}

SimReply RegistryHandler::jsonReply(const QByteArray &body)
{
    SimReply reply;
    reply.body = body;
    reply.headers.append(qMakePair(QByteArray("Content-Type"), QByteArray("application/json")));
    return reply;
}

SimReply RegistryHandler::statusReply(int status, const QByteArray &reason, const QByteArray &body)
{
    SimReply reply;
    reply.status = status;
    reply.reason = reason;
    reply.body = body;
    return reply;
}

QList<RecordedRequest> requestsTo(const QList<RecordedRequest> &requests, const QByteArray &target)
{
    QList<RecordedRequest> matching;
    for (const RecordedRequest &request : requests) {
        if (request.target == target)
            matching.append(request);
    }
    return matching;
}

QList<qint64> searchPages(const QList<RecordedRequest> &requests)
{
    QList<qint64> pages;
    for (const RecordedRequest &request : requestsTo(requests, RegistryHandler::searchTarget)) {
        const OrderedJson body = OrderedJson::parse(request.body.toStdString(), nullptr, false);
        const OrderedJson page = body.is_object() ? body.value("page", OrderedJson()) : OrderedJson();
        pages.append(page.is_number_integer() ? page.get<qint64>() : -1);
    }
    return pages;
}

QStringList detailIds(const QList<RecordedRequest> &requests)
{
    QStringList ids;
    for (const RecordedRequest &request : requests) {
        if (request.method == "GET" && request.target.startsWith(kDetailPrefix))
            ids.append(QString::fromUtf8(request.target.mid(kDetailPrefix.size())));
    }
    return ids;
}

std::optional<QByteArray> headerValue(const RecordedRequest &request, const QByteArray &name)
{
    const QByteArray prefix = name + ": ";
    for (const QByteArray &line : request.headerLines) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size());
    }
    return std::nullopt;
}
