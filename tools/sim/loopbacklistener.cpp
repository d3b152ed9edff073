#include "loopbacklistener.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

void LoopbackListener::Connection::adopt(int fd)
{
    std::lock_guard lock(m_owner->m_mutex);
    m_fds.push_back(fd);
    if (m_owner->m_stopping)
        ::shutdown(fd, SHUT_RDWR);
}

LoopbackListener::LoopbackListener(Serve serve) : m_serve(std::move(serve)) {}

LoopbackListener::~LoopbackListener()
{
    stop();
}

bool LoopbackListener::start(quint16 port, QString *error)
{
    const auto fail = [&](const QString &text) {
        if (error)
            *error = text + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errno));
        stop();
        return false;
    };
    if (m_listenFd >= 0) {
        if (error)
            *error = QStringLiteral("The server is already listening");
        return false;
    }
    {
        std::lock_guard lock(m_mutex);
        m_stopping = false;
    }
    if (::pipe2(m_wakeFds, O_CLOEXEC) != 0)
        return fail(QStringLiteral("Cannot make a pipe"));
    m_listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(m_listenFd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (m_listenFd < 0 || ::bind(m_listenFd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        ::listen(m_listenFd, 128) != 0 ||
        ::getsockname(m_listenFd, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return fail(QStringLiteral("Cannot listen on 127.0.0.1:%1").arg(port));
    m_port = ntohs(address.sin_port);
    m_acceptThread = std::thread([this] { acceptLoop(); });
    return true;
}

void LoopbackListener::stop()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
        for (const Connection &c : m_connections) {
            for (int fd : c.m_fds)
                ::shutdown(fd, SHUT_RDWR);
        }
    }
    m_wake.notify_all();
    if (m_acceptThread.joinable()) {
        const char byte = 0;
        [[maybe_unused]] const auto written = ::write(m_wakeFds[1], &byte, 1);
        m_acceptThread.join();
    }
    // The accept thread has ended, so the list no longer grows.
    for (Connection &c : m_connections)
        c.m_thread.join();
    m_connections.clear();
    for (int *fd : {&m_listenFd, &m_wakeFds[0], &m_wakeFds[1]}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
    m_port = 0;
}

bool LoopbackListener::waitOrStop(int ms)
{
    std::unique_lock lock(m_mutex);
    return m_wake.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_stopping; });
}

bool LoopbackListener::isStopping()
{
    std::lock_guard lock(m_mutex);
    return m_stopping;
}

void LoopbackListener::reapFinished()
{
    std::list<Connection> finished;
    {
        std::lock_guard lock(m_mutex);
        for (auto it = m_connections.begin(); it != m_connections.end();) {
            auto next = std::next(it);
            if (it->m_done)
                finished.splice(finished.end(), m_connections, it);
            it = next;
        }
    }
    for (Connection &c : finished)
        c.m_thread.join();
}

void LoopbackListener::acceptLoop()
{
    for (;;) {
        pollfd fds[2] = {{m_listenFd, POLLIN, 0}, {m_wakeFds[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents)
            return;
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        reapFinished();
        if (fd < 0)
            continue;
        std::lock_guard lock(m_mutex);
        if (m_stopping) {
            ::close(fd);
            return;
        }
        Connection &c = m_connections.emplace_back();
        c.m_owner = this;
        c.m_fd = fd;
        c.m_fds.push_back(fd);
        c.m_thread = std::thread([this, &c] {
            sigset_t pipeSignal;
            sigemptyset(&pipeSignal);
            sigaddset(&pipeSignal, SIGPIPE);
            pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
            m_serve(c);
            std::lock_guard guard(m_mutex);
            for (int own : c.m_fds)
                ::close(own);
            c.m_fds.clear();
            c.m_done = true;
        });
    }
}
