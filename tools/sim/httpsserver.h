#pragma once
// A real HTTPS/1.x server on 127.0.0.1 for tests, benchmarks and the demo. It makes a self-signed
// certificate (for 127.0.0.1 and localhost) when it starts, serves each connection on a thread of
// its own, records every request, and answers through a handler that can also ask for faults.
// Owned by whoever starts it; stop() (or the destructor) closes the socket and joins every thread.

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

#include <functional>
#include <memory>

struct RecordedRequest
{
    QByteArray requestLine;        // e.g. "POST /login HTTP/1.0", without CR LF
    QList<QByteArray> headerLines; // in the order received, without CR LF
    QByteArray body;
    QByteArray method;
    QByteArray target;             // path and query as on the request line
};

struct SimReply
{
    int status = 200;
    QByteArray reason = "OK"; // empty: the status line carries no reason phrase
    QList<QPair<QByteArray, QByteArray>> headers; // Content-Length is added by the server
    QByteArray body;

    int delayMs = 0;                // wait this long before answering
    bool stall = false;             // answer nothing and hold the connection until stallMs passes or the server stops
    int stallMs = 600000;
    bool closeBeforeStatus = false; // close the connection without sending a status line
    int dripMs = 0;                 // send the body one byte at a time, this many ms apart (until the server stops)
    qint64 padding = 0;             // that many blanks after the body (counted in Content-Length), made as they go
    char paddingByte = ' ';         // what the padding is made of
    QByteArray tail;                // sent after the padding (counted in Content-Length): closes a padded JSON
    bool halfBody = false;          // (a fault of registry-sim) the endpoint's own reply cut to the first half of its body
};

class HttpsServer
{
public:
    using Handler = std::function<SimReply(const RecordedRequest &)>;

    explicit HttpsServer(Handler handler);
    ~HttpsServer();
    HttpsServer(const HttpsServer &) = delete;
    HttpsServer &operator=(const HttpsServer &) = delete;

    // Listens on 127.0.0.1 (port 0: any free port). False, with a text, when it cannot.
    bool start(quint16 port = 0, QString *error = nullptr);
    void stop();

    quint16 port() const;
    QString baseUrl() const; // "https://127.0.0.1:<port>"
    QByteArray certificatePem() const; // the self-signed certificate, to trust it as a CA file

    QList<RecordedRequest> requests() const;
    void clearRequests();

private:
    struct Private;
    std::unique_ptr<Private> d;
};
