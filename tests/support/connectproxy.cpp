#include "connectproxy.h"

#include "loopbacklistener.h"

#include <arpa/inet.h>
#include <cerrno>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr qsizetype kMaxHeaderBytes = 64 * 1024;

bool sendAll(int fd, const char *data, qsizetype size)
{
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size_t(size), MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        data += n;
        size -= n;
    }
    return true;
}

void answer(int fd, int status, const QByteArray &reason, const QByteArray &extra = {})
{
    const QByteArray reply = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason + "\r\n" + extra +
                             "Content-Length: 0\r\n\r\n";
    sendAll(fd, reply.constData(), reply.size());
}

int connectTo(const QByteArray &target)
{
    const qsizetype colon = target.lastIndexOf(':');
    const QByteArray host = target.left(colon);
    bool ok = false;
    const int port = target.mid(colon + 1).toInt(&ok);
    if (colon <= 0 || !ok || port <= 0 || port > 65535 || (host != "127.0.0.1" && host != "localhost"))
        return -1;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(quint16(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0)
        return fd;
    if (fd >= 0)
        ::close(fd);
    return -1;
}

} // namespace

struct ConnectProxy::Private
{
    mutable std::mutex mutex; // guards everything below
    QByteArray credentials;   // "user:password"; empty: none needed
    QList<ProxyRequest> record;
    // Last, so that it is gone before what its connections use.
    LoopbackListener listener{[this](LoopbackListener::Connection &c) { serve(c); }};

    void serve(LoopbackListener::Connection &connection);
    static void relay(int client, int upstream);
};

void ConnectProxy::Private::serve(LoopbackListener::Connection &connection)
{
    const int client = connection.fd();
    QByteArray data;
    char buffer[16384];
    qsizetype headerEnd = -1;
    while ((headerEnd = data.indexOf("\r\n\r\n")) < 0 && data.size() < kMaxHeaderBytes) {
        const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        data.append(buffer, n);
    }

    ProxyRequest request;
    if (headerEnd >= 0) {
        const QList<QByteArray> lines = data.left(headerEnd).split('\n');
        for (qsizetype i = 0; i < lines.size(); ++i) {
            const QByteArray line = lines[i].endsWith('\r') ? lines[i].chopped(1) : lines[i];
            if (i == 0)
                request.requestLine = line;
            else
                request.headerLines.append(line);
        }
        request.target = request.requestLine.split(' ').value(1);
    }

    QByteArray expected;
    {
        std::lock_guard lock(mutex);
        expected = credentials;
    }
    const QByteArray authorization = "Proxy-Authorization: Basic " + expected.toBase64();
    int upstream = -1;
    if (headerEnd < 0 || !request.requestLine.startsWith("CONNECT "))
        request.status = 405;
    else if (!expected.isEmpty() && !request.headerLines.contains(authorization))
        request.status = 407;
    else if ((upstream = connectTo(request.target)) < 0)
        request.status = 403;
    else
        request.status = 200;
    if (upstream >= 0)
        connection.adopt(upstream);
    // Recorded before the answer goes out, so a client that has its answer finds the request recorded.
    if (headerEnd >= 0) {
        std::lock_guard lock(mutex);
        record.append(request);
    }
    if (request.status == 405)
        answer(client, 405, "Method Not Allowed");
    else if (request.status == 407)
        answer(client, 407, "Proxy Authentication Required", "Proxy-Authenticate: Basic realm=\"test\"\r\n");
    else if (request.status == 403)
        answer(client, 403, "Forbidden");
    if (request.status == 200) {
        static const QByteArray established = "HTTP/1.1 200 Connection established\r\n\r\n";
        // Bytes the client sent after the request (a TLS hello sent early) go ahead of the rest.
        const QByteArray early = data.mid(headerEnd + 4);
        if (sendAll(client, established.constData(), established.size()) &&
            sendAll(upstream, early.constData(), early.size()))
            relay(client, upstream);
    }
}

void ConnectProxy::Private::relay(int client, int upstream)
{
    const int ends[2] = {client, upstream};
    char buffer[16384];
    for (;;) {
        pollfd fds[2] = {{ends[0], POLLIN, 0}, {ends[1], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        for (int i = 0; i < 2; ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            const ssize_t n = ::recv(ends[i], buffer, sizeof buffer, 0);
            if (n <= 0 || !sendAll(ends[1 - i], buffer, n))
                return;
        }
    }
}

ConnectProxy::ConnectProxy() : d(std::make_unique<Private>()) {}

ConnectProxy::~ConnectProxy()
{
    stop();
}

void ConnectProxy::requireCredentials(const QByteArray &user, const QByteArray &password)
{
    std::lock_guard lock(d->mutex);
    d->credentials = user + ':' + password;
}

bool ConnectProxy::start(QString *error)
{
    return d->listener.start(0, error);
}

void ConnectProxy::stop()
{
    d->listener.stop();
}

quint16 ConnectProxy::port() const
{
    return d->listener.port();
}

QString ConnectProxy::url(const QString &user, const QString &password) const
{
    const QString credentials = user.isEmpty() && password.isEmpty() ? QString() : user + u':' + password + u'@';
    return QStringLiteral("http://") + credentials + QStringLiteral("127.0.0.1:") + QString::number(d->listener.port());
}

QList<ProxyRequest> ConnectProxy::requests() const
{
    std::lock_guard lock(d->mutex);
    QList<ProxyRequest> copy = d->record;
    copy.detach();
    return copy;
}
