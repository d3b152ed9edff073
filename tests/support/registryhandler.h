#pragma once
// A small registry for tests that drive request workers or whole runs against an HttpsServer on
// loopback: search pages cut from a list of declarations (100 to a page), one detail per declaration
// id, one dictionary lookup reply and a login. Replies can be replaced by faults per request target,
// and requests to a target can be held at a gate so that a test acts while a request is in flight.
//
// Thread-safe: the server calls handle() on its connection threads. The object must outlive the
// server that calls it, and a held gate must be released before that server stops (stop() joins the
// connection threads; a held request waits at most 60 s).

#include "httpsserver.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>
#include <condition_variable>
#include <mutex>
#include <optional>

struct FakeDeclaration
{
    QString id;                           // a number's digits: sent as a JSON number
    std::optional<QString> applicantName; // nothing: a JSON null
    std::optional<QString> applicantInn = std::nullopt; // nothing: the item has no such member (before 2025)
};

struct FakeApplicant
{
    std::optional<QString> inn; // nothing: a JSON null
    std::optional<QString> ogrn;
    QString fullName;
};

class RegistryHandler
{
public:
    static const QByteArray searchTarget; // "/api/v1/rds/common/declarations/get"
    static const QByteArray lookupTarget; // "/nsi/api/multi"
    static const QByteArray loginTarget;  // "/login"
    static QByteArray detailTarget(const QString &id);
    // Stands for one search page in addFault() and holdRequests().
    static QByteArray searchPageTarget(qint64 page);

    // A handler for HttpsServer that answers through this object.
    HttpsServer::Handler handler();
    SimReply handle(const RecordedRequest &request);

    void setDeclarations(const QList<FakeDeclaration> &declarations);
    // "total" of every search reply; by default the number of declarations.
    void setTotal(qint64 total);
    // The detail of this declaration: a JSON object that a dictionary lookup can be composed from.
    // A declaration without one gets an applicant with the INN "50000" + id and its search name.
    void setApplicant(const QString &id, const FakeApplicant &applicant);
    // The detail of this declaration exactly as given.
    void setDetailBody(const QString &id, const QByteArray &body);
    void setLookupBody(const QByteArray &body);
    // The login reply; by default 200 with "Authorization: Bearer fresh-token".
    void setLoginReply(const SimReply &reply);

    // The next `count` requests to target get `reply` instead of their own answer (count < 0: all).
    void addFault(const QByteArray &target, const SimReply &reply, int count = 1);
    // Requests to target, after the first `passing` of them, wait until release().
    void holdRequests(const QByteArray &target, int passing = 0);
    void release();

    // Builders for the replies above, for tests that serve them by other means.
    static QByteArray detailBody(const QString &id, const FakeApplicant &applicant);
    static SimReply jsonReply(const QByteArray &body);
    static SimReply statusReply(int status, const QByteArray &reason, const QByteArray &body = {});

private:
    SimReply answer(const RecordedRequest &request);
    // The held or faulted target this request stands for: a search page's own target when one is set.
    QByteArray targetOf(const RecordedRequest &request) const;

    std::mutex m_mutex;
    std::condition_variable m_released;
    QList<FakeDeclaration> m_declarations;
    std::optional<qint64> m_total;
    QHash<QString, QByteArray> m_details;
    QByteArray m_lookup = R"({"items":{"applicantType":[{"id":1,"masterId":"1","name":"Юридическое лицо"}]}})";
    SimReply m_login;
    bool m_loginSet = false;
    struct Fault
    {
        SimReply reply;
        int remaining = 0;
    };
    QHash<QByteArray, QList<Fault>> m_faults;
    QByteArray m_heldTarget;
    int m_holdPassing = 0;
};

// What a test reads back from a server's record.
QList<RecordedRequest> requestsTo(const QList<RecordedRequest> &requests, const QByteArray &target);
// The page number in the body of each search request, in the order sent (-1 when unreadable).
QList<qint64> searchPages(const QList<RecordedRequest> &requests);
// The declaration id of each detail request, in the order sent.
QStringList detailIds(const QList<RecordedRequest> &requests);
// The value of the header line `name: value` (first one), or nothing.
std::optional<QByteArray> headerValue(const RecordedRequest &request, const QByteArray &name);
