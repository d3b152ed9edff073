#include "httpsserver.h"

#include "loopbacklistener.h"

#include <mutex>
#include <openssl/ecdsa.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

namespace {

constexpr qsizetype maxHeaderBytes = 1 << 20;
constexpr qsizetype maxBodyBytes = 256 << 20;

QString openSslError(const char *what)
{
    QString text = QString::fromLatin1(what);
    if (const unsigned long code = ERR_get_error()) {
        char buffer[256];
        ERR_error_string_n(code, buffer, sizeof buffer);
        text += QStringLiteral(": ") + QString::fromLatin1(buffer);
    }
    ERR_clear_error();
    return text;
}

bool addExtension(X509 *cert, int nid, const char *value)
{
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
    X509_EXTENSION *ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    if (!ext)
        return false;
    const bool ok = X509_add_ext(cert, ext, -1) == 1;
    X509_EXTENSION_free(ext);
    return ok;
}

// Whether both halves of the certificate's ECDSA signature fill the curve's 32 bytes. Wine's
// certificate chain check joins r and s unpadded, so a signature with a leading zero byte in either
// (about one in 128) fails there as "not signature valid"; Windows pads them.
bool signatureHalvesAreFull(const X509 *cert)
{
    const ASN1_BIT_STRING *signature = nullptr;
    X509_get0_signature(&signature, nullptr, cert);
    if (!signature)
        return false;
    const unsigned char *der = ASN1_STRING_get0_data(signature);
    ECDSA_SIG *sig = d2i_ECDSA_SIG(nullptr, &der, ASN1_STRING_length(signature));
    if (!sig)
        return false;
    const BIGNUM *r = nullptr;
    const BIGNUM *s = nullptr;
    ECDSA_SIG_get0(sig, &r, &s);
    const bool full = BN_num_bytes(r) == 32 && BN_num_bytes(s) == 32;
    ECDSA_SIG_free(sig);
    return full;
}

// A self-signed certificate for 127.0.0.1 and localhost, valid from an hour ago for a year. It is
// marked as a CA so that clients can trust it directly as their CA file.
X509 *makeCertificate(EVP_PKEY *key)
{
    X509 *cert = X509_new();
    if (!cert)
        return nullptr;
    unsigned char serial[8];
    RAND_bytes(serial, sizeof serial);
    serial[0] &= 0x7f; // keep the serial number positive
    BIGNUM *bn = BN_bin2bn(serial, sizeof serial, nullptr);
    const bool ok = X509_set_version(cert, X509_VERSION_3) && bn &&
                    BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert)) &&
                    X509_gmtime_adj(X509_getm_notBefore(cert), -3600) &&
                    X509_gmtime_adj(X509_getm_notAfter(cert), 365L * 24 * 3600) && X509_set_pubkey(cert, key) &&
                    X509_NAME_add_entry_by_txt(X509_get_subject_name(cert), "CN", MBSTRING_ASC,
                                               reinterpret_cast<const unsigned char *>("127.0.0.1"), -1, -1, 0) &&
                    X509_set_issuer_name(cert, X509_get_subject_name(cert)) &&
                    addExtension(cert, NID_basic_constraints, "critical,CA:TRUE") &&
                    addExtension(cert, NID_subject_key_identifier, "hash") &&
                    addExtension(cert, NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost");
    BN_free(bn);
    // ECDSA signs with a fresh random number each time, so signing again gives other halves.
    bool signedWell = false;
    for (int attempt = 0; ok && !signedWell && attempt < 100; ++attempt)
        signedWell = X509_sign(cert, key, EVP_sha256()) > 0 && signatureHalvesAreFull(cert);
    if (!ok || !signedWell) {
        X509_free(cert);
        return nullptr;
    }
    return cert;
}

bool sameName(const QByteArray &a, const char *b)
{
    return a.trimmed().compare(QByteArray(b), Qt::CaseInsensitive) == 0;
}

// The TLS side of a connection; the listener closes the socket once serve() has returned.
void closeTls(SSL *ssl, bool orderly)
{
    if (!ssl)
        return;
    if (orderly)
        SSL_shutdown(ssl);
    SSL_free(ssl);
}

} // namespace

struct HttpsServer::Private
{
    Handler handler;
    SSL_CTX *ctx = nullptr;
    EVP_PKEY *key = nullptr;
    X509 *cert = nullptr;
    QByteArray certPem;
    mutable std::mutex mutex; // guards the record
    QList<RecordedRequest> record;
    // Last, so that it is gone before what its connections use.
    LoopbackListener listener{[this](LoopbackListener::Connection &c) { serve(c.fd()); }};

    void serve(int fd);
    void freeTls();
};

void HttpsServer::Private::serve(int fd)
{
    SSL *ssl = SSL_new(ctx);
    if (!ssl || SSL_set_fd(ssl, fd) != 1 || SSL_accept(ssl) != 1) {
        ERR_clear_error();
        closeTls(ssl, false);
        return;
    }

    // Request line and header lines up to the blank line, then a body of Content-Length bytes.
    QByteArray data;
    qsizetype headerEnd = -1;
    char buffer[16384];
    while ((headerEnd = data.indexOf("\r\n\r\n")) < 0) {
        const int n = SSL_read(ssl, buffer, sizeof buffer);
        if (n <= 0 || data.size() > maxHeaderBytes) {
            ERR_clear_error();
            closeTls(ssl, false);
            return;
        }
        data.append(buffer, n);
    }
    RecordedRequest request;
    const QList<QByteArray> lines = data.left(headerEnd).split('\n');
    for (qsizetype i = 0; i < lines.size(); ++i) {
        QByteArray line = lines[i];
        if (line.endsWith('\r'))
            line.chop(1);
        if (i == 0)
            request.requestLine = line;
        else
            request.headerLines.append(line);
    }
    const QList<QByteArray> parts = request.requestLine.split(' ');
    request.method = parts.value(0);
    request.target = parts.value(1);
    qsizetype contentLength = 0;
    for (const QByteArray &line : std::as_const(request.headerLines)) {
        const qsizetype colon = line.indexOf(':');
        if (colon > 0 && sameName(line.left(colon), "Content-Length"))
            contentLength = qBound<qsizetype>(0, line.mid(colon + 1).trimmed().toLongLong(), maxBodyBytes);
    }
    request.body = data.mid(headerEnd + 4);
    while (request.body.size() < contentLength) {
        const int n = SSL_read(ssl, buffer, sizeof buffer);
        if (n <= 0)
            break;
        request.body.append(buffer, n);
    }
    ERR_clear_error();
    {
        std::lock_guard lock(mutex);
        record.append(request);
    }

    const SimReply reply = handler(request);
    if (reply.closeBeforeStatus || (reply.delayMs > 0 && listener.waitOrStop(reply.delayMs))) {
        closeTls(ssl, true);
        return;
    }
    if (reply.stall) {
        listener.waitOrStop(reply.stallMs);
        closeTls(ssl, false);
        return;
    }

    QByteArray out = "HTTP/1.1 " + QByteArray::number(reply.status) + ' ' + reply.reason + "\r\n";
    bool hasLength = false;
    for (const auto &[name, value] : reply.headers) {
        hasLength = hasLength || sameName(name, "Content-Length");
        out += name + ": " + value + "\r\n";
    }
    // A handler that names its own Content-Length keeps it: that is how a cut-off body is simulated.
    if (!hasLength)
        out += "Content-Length: " + QByteArray::number(reply.body.size() + reply.padding + reply.tail.size()) + "\r\n";
    out += "Connection: close\r\n\r\n" + reply.body;
    const auto send = [ssl](const char *data, qsizetype size) {
        for (qsizetype sent = 0; sent < size;) {
            const int n = SSL_write(ssl, data + sent, int(qMin<qsizetype>(size - sent, 1 << 20)));
            if (n <= 0)
                return false;
            sent += n;
        }
        return true;
    };
    bool open = true;
    if (reply.dripMs > 0) {
        // The status and header lines at once, then the body a byte at a time.
        const qsizetype bodyAt = out.size() - reply.body.size();
        open = send(out.constData(), bodyAt);
        for (qsizetype i = bodyAt; open && i < out.size(); ++i)
            open = send(out.constData() + i, 1) && !listener.waitOrStop(reply.dripMs);
    } else {
        open = send(out.constData(), out.size());
    }
    // A long padding is made a block at a time, so an oversized reply costs no memory here.
    const QByteArray block(64 << 10, reply.paddingByte);
    for (qint64 left = reply.padding; open && left > 0; left -= block.size()) {
        open = send(block.constData(), qsizetype(qMin<qint64>(left, block.size()))) && !listener.isStopping();
    }
    if (open && !reply.tail.isEmpty())
        send(reply.tail.constData(), reply.tail.size());
    ERR_clear_error();
    closeTls(ssl, true);
}

void HttpsServer::Private::freeTls()
{
    SSL_CTX_free(ctx);
    X509_free(cert);
    EVP_PKEY_free(key);
    ctx = nullptr;
    cert = nullptr;
    key = nullptr;
}

HttpsServer::HttpsServer(Handler handler) : d(std::make_unique<Private>())
{
    d->handler = std::move(handler);
}

HttpsServer::~HttpsServer()
{
    stop();
}

bool HttpsServer::start(quint16 port, QString *error)
{
    const auto fail = [&](const QString &text) {
        if (error)
            *error = text;
        stop();
        return false;
    };
    if (d->listener.port() != 0)
        return fail(QStringLiteral("The server is already listening"));

    d->key = EVP_EC_gen("P-256");
    if (!d->key)
        return fail(openSslError("Cannot make a key"));
    d->cert = makeCertificate(d->key);
    if (!d->cert)
        return fail(openSslError("Cannot make a certificate"));
    BIO *pem = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(pem, d->cert);
    char *pemData = nullptr;
    const long pemSize = BIO_get_mem_data(pem, &pemData);
    d->certPem = QByteArray(pemData, pemSize);
    BIO_free(pem);

    d->ctx = SSL_CTX_new(TLS_server_method());
    if (!d->ctx || SSL_CTX_set_min_proto_version(d->ctx, TLS1_2_VERSION) != 1 ||
        SSL_CTX_use_certificate(d->ctx, d->cert) != 1 || SSL_CTX_use_PrivateKey(d->ctx, d->key) != 1)
        return fail(openSslError("Cannot set up TLS"));

    if (!d->listener.start(port, error)) {
        stop();
        return false;
    }
    return true;
}

void HttpsServer::stop()
{
    d->listener.stop();
    d->freeTls();
}

quint16 HttpsServer::port() const
{
    return d->listener.port();
}

QString HttpsServer::baseUrl() const
{
    return QStringLiteral("https://127.0.0.1:%1").arg(d->listener.port());
}

QByteArray HttpsServer::certificatePem() const
{
    return d->certPem;
}

QList<RecordedRequest> HttpsServer::requests() const
{
    std::lock_guard lock(d->mutex);
    // A copy of its own: a shared list would be read by the caller while the next append moves
    // its entries, ordered only by Qt's relaxed reference count.
    QList<RecordedRequest> copy = d->record;
    copy.detach();
    return copy;
}

void HttpsServer::clearRequests()
{
    std::lock_guard lock(d->mutex);
    d->record.clear();
}
