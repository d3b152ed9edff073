// Fuzzes the HTTP client's handling of a reply: the input is sent as it stands, as the whole answer
// of a server on loopback (plain http, so every byte reaches the client's status line, header line,
// reason phrase, Location and body handling), to a GET that carries an Authorization line. A
// Location pointing back at the server is followed and answered with the same bytes.
//
// Besides faults, it checks the bounds and the secrets (and that a Retry-After becomes a wait within its cap): no body past the cap is handed over, a
// failure with a status of 400 or more is never reported as success, and no failure text holds
// the Authorization value or a control character from a refused redirect's target.
#include "fuzzinput.h"
#include "httpclient.h"
#include "registryapi.h"

#include <QDateTime>

#include <arpa/inet.h>
#include <cstdlib>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr qint64 kCap = 64 << 10;
const QByteArray kSecret = "fuzz-secret-token-31337";

// Answers every connection with the current input, then closes it. Lives for the whole process.
class ReplyServer
{
public:
    ReplyServer()
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
            ::listen(m_fd, 16) != 0 || ::getsockname(m_fd, reinterpret_cast<sockaddr *>(&address), &length) != 0)
            std::abort();
        m_port = ntohs(address.sin_port);
        std::thread([this] { serve(); }).detach();
    }

    quint16 port() const { return m_port; }
    void setReply(const QByteArray &reply)
    {
        std::lock_guard lock(m_mutex);
        m_reply = reply;
    }

private:
    void serve()
    {
        for (;;) {
            const int fd = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                continue;
            // The request up to its blank line (bounded in size and time), then the reply.
            QByteArray request;
            char buffer[4096];
            pollfd in{fd, POLLIN, 0};
            while (!request.contains("\r\n\r\n") && request.size() < 65536 && ::poll(&in, 1, 1000) > 0) {
                const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
                if (n <= 0)
                    break;
                request.append(buffer, qsizetype(n));
            }
            QByteArray reply;
            {
                std::lock_guard lock(m_mutex);
                reply = m_reply;
            }
            for (qsizetype sent = 0; sent < reply.size();) {
                const ssize_t n = ::send(fd, reply.constData() + sent, size_t(reply.size() - sent), MSG_NOSIGNAL);
                if (n <= 0)
                    break;
                sent += n;
            }
            ::shutdown(fd, SHUT_RDWR);
            ::close(fd);
        }
    }

    int m_fd = -1;
    quint16 m_port = 0;
    std::mutex m_mutex;
    QByteArray m_reply;
};

ReplyServer &server()
{
    // Reachable for the process's life: never freed, never a leak.
    static ReplyServer *instance = new ReplyServer;
    return *instance;
}

bool holdsControl(const QString &text)
{
    for (const QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            return true;
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    ReplyServer &replies = server();
    replies.setReply(fuzzBytes(data, size));

    HttpClient client;
    client.setTimeout(1);
    client.setOverallTimeout(3000);
    client.setMaxBodyBytes(kCap);
    client.addHeaderLine(QStringLiteral("Authorization: Bearer ") + QString::fromLatin1(kSecret));
    client.setUrl(QStringLiteral("http://127.0.0.1:%1/declarations/1").arg(replies.port()));
    QByteArray received;
    const HttpResult result = client.get(received);

    if (received.size() > kCap)
        std::abort();
    if (result.ok && result.status >= 400 && result.status != 401 && result.status != 407)
        std::abort();
    if (result.error.contains(QString::fromLatin1(kSecret)))
        std::abort();
    if (result.failure == HttpFailure::Redirect && holdsControl(result.error))
        std::abort();
    if (!result.ok && result.failure == HttpFailure::None)
        std::abort();
    if (client.receivedHeaders().size() > kMaxHeaderBytes * 2)
        std::abort();
    // Whatever Retry-After says (a number past 64 bits, a negative one, a date far off or long
    // past), the wait it becomes lies between 0 and the cap; UBSan stops an overflow on the way.
    constexpr qint64 kRetryCapMs = 300000;
    if (const std::optional<qint64> seconds =
            retryAfterSeconds(client.receivedHeaders(), QDateTime::fromSecsSinceEpoch(1772445600, Qt::UTC))) {
        const qint64 waitMs = retryAfterWaitMs(*seconds, kRetryCapMs);
        if (*seconds < 0 || waitMs < 0 || waitMs > kRetryCapMs)
            std::abort();
    }
    return 0;
}
