#pragma once
// A port on 127.0.0.1 where no server answers, for tests of the failures a client meets before any
// reply: Refusing is bound but not listening (every connection is refused at once); Silent listens
// but never accepts or speaks (the kernel completes the connection, then nothing comes, so a TLS
// handshake waits until its time-out). The socket closes when the object goes.

#include <QString>

class DeadPort
{
public:
    enum class Kind { Refusing, Silent };

    explicit DeadPort(Kind kind);
    ~DeadPort();
    DeadPort(const DeadPort &) = delete;
    DeadPort &operator=(const DeadPort &) = delete;

    bool isValid() const { return m_port != 0; }
    quint16 port() const { return m_port; }
    QString baseUrl() const; // "https://127.0.0.1:<port>"

private:
    int m_fd = -1;
    quint16 m_port = 0;
};
