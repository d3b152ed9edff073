#include "deadport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

DeadPort::DeadPort(Kind kind)
{
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        (kind == Kind::Silent && ::listen(m_fd, 8) != 0) ||
        ::getsockname(m_fd, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return;
    m_port = ntohs(address.sin_port);
}

DeadPort::~DeadPort()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

QString DeadPort::baseUrl() const
{
    return QStringLiteral("https://127.0.0.1:%1").arg(m_port);
}
