#include "connectproxy.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <list>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <thread>
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
    struct Tunnel
    {
        std::thread thread;
        int client = -1;
        int upstream = -1;
        bool done = false;
    };

    int listenFd = -1;
    int wakeFds[2] = {-1, -1};
    quint16 port = 0;
    std::thread acceptThread;

    mutable std::mutex mutex; // guards everything below
    bool stopping = false;
    QByteArray credentials; // "user:password"; empty: none needed
    std::list<Tunnel> tunnels;
    QList<ProxyRequest> record;

    void acceptLoop();
    void serve(Tunnel *tunnel);
    void relay(Tunnel *tunnel);
    void reapFinished();
};

void ConnectProxy::Private::reapFinished()
{
    std::list<Tunnel> finished;
    {
        std::lock_guard lock(mutex);
        for (auto it = tunnels.begin(); it != tunnels.end();) {
            auto next = std::next(it);
            if (it->done)
                finished.splice(finished.end(), tunnels, it);
            it = next;
        }
    }
    for (Tunnel &t : finished)
        t.thread.join();
}

void ConnectProxy::Private::acceptLoop()
{
    for (;;) {
        pollfd fds[2] = {{listenFd, POLLIN, 0}, {wakeFds[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents)
            return;
        const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        reapFinished();
        if (fd < 0)
            continue;
        std::lock_guard lock(mutex);
        if (stopping) {
            ::close(fd);
            return;
        }
        Tunnel &t = tunnels.emplace_back();
        t.client = fd;
        t.thread = std::thread([this, pt = &t] { serve(pt); });
    }
}

void ConnectProxy::Private::serve(Tunnel *tunnel)
{
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);

    const int client = tunnel->client;
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
    // Recorded before the answer goes out, so a client that has its answer finds the request recorded.
    {
        std::lock_guard lock(mutex);
        if (headerEnd >= 0)
            record.append(request);
        tunnel->upstream = upstream;
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
            relay(tunnel);
    }

    std::lock_guard lock(mutex);
    ::close(tunnel->client);
    if (tunnel->upstream >= 0)
        ::close(tunnel->upstream);
    tunnel->client = tunnel->upstream = -1;
    tunnel->done = true;
}

void ConnectProxy::Private::relay(Tunnel *tunnel)
{
    const int ends[2] = {tunnel->client, tunnel->upstream};
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
    const auto fail = [&](const char *what) {
        if (error)
            *error = QString::fromLatin1(what) + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errno));
        stop();
        return false;
    };
    {
        std::lock_guard lock(d->mutex);
        d->stopping = false;
    }
    if (::pipe2(d->wakeFds, O_CLOEXEC) != 0)
        return fail("Cannot make a pipe");
    d->listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (d->listenFd < 0 || ::bind(d->listenFd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        ::listen(d->listenFd, 64) != 0 ||
        ::getsockname(d->listenFd, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return fail("Cannot listen on 127.0.0.1");
    d->port = ntohs(address.sin_port);
    d->acceptThread = std::thread([this] { d->acceptLoop(); });
    return true;
}

void ConnectProxy::stop()
{
    {
        std::lock_guard lock(d->mutex);
        d->stopping = true;
        // Wakes tunnels blocked in a read or a poll.
        for (const Private::Tunnel &t : d->tunnels) {
            for (int fd : {t.client, t.upstream}) {
                if (fd >= 0)
                    ::shutdown(fd, SHUT_RDWR);
            }
        }
    }
    if (d->acceptThread.joinable()) {
        const char byte = 0;
        [[maybe_unused]] const auto written = ::write(d->wakeFds[1], &byte, 1);
        d->acceptThread.join();
    }
    for (Private::Tunnel &t : d->tunnels)
        t.thread.join();
    d->tunnels.clear();
    for (int *fd : {&d->listenFd, &d->wakeFds[0], &d->wakeFds[1]}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
    d->port = 0;
}

quint16 ConnectProxy::port() const
{
    return d->port;
}

QString ConnectProxy::url(const QString &user, const QString &password) const
{
    const QString credentials = user.isEmpty() && password.isEmpty() ? QString() : user + u':' + password + u'@';
    return QStringLiteral("http://") + credentials + QStringLiteral("127.0.0.1:") + QString::number(d->port);
}

QList<ProxyRequest> ConnectProxy::requests() const
{
    std::lock_guard lock(d->mutex);
    QList<ProxyRequest> copy = d->record;
    copy.detach();
    return copy;
}
