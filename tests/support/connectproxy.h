#pragma once
// A small HTTP CONNECT proxy on 127.0.0.1 for tests that send the program's traffic through a proxy.
// It takes "CONNECT host:port HTTP/1.x", answers 407 when credentials are required and missing or
// wrong, refuses any target but 127.0.0.1 and localhost (nothing leaves the machine), opens the
// tunnel with "200 Connection established" and copies bytes both ways until either side closes.
// Every CONNECT request is recorded.
//
// Owned by the test; stop() (or the destructor) closes the listening socket and every tunnel and
// joins their threads. Thread-safe.

#include <QByteArray>
#include <QList>
#include <QString>

#include <memory>

struct ProxyRequest
{
    QByteArray requestLine;        // e.g. "CONNECT 127.0.0.1:40123 HTTP/1.1"
    QList<QByteArray> headerLines; // without CR LF
    QByteArray target;             // "127.0.0.1:40123"
    int status = 0;                // what the proxy answered
};

class ConnectProxy
{
public:
    ConnectProxy();
    ~ConnectProxy();
    ConnectProxy(const ConnectProxy &) = delete;
    ConnectProxy &operator=(const ConnectProxy &) = delete;

    // From now on a CONNECT needs "Proxy-Authorization: Basic" with these.
    void requireCredentials(const QByteArray &user, const QByteArray &password);

    bool start(QString *error = nullptr);
    void stop();
    quint16 port() const;
    // "http://127.0.0.1:<port>", or with "user:password@" before the address.
    QString url(const QString &user = QString(), const QString &password = QString()) const;

    QList<ProxyRequest> requests() const;

private:
    struct Private;
    std::unique_ptr<Private> d;
};
