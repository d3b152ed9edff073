// Fuzzes the marker extraction and the two readers built on it for the login reply: the
// Authorization value of its header lines and the bearer token in that value. The input is up to
// four texts separated by NUL bytes: text, start, second and end.
#include "fuzzinput.h"
#include "registryapi.h"
#include "textscan.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QList<QByteArray> parts = fuzzBytes(data, size).split('\0');
    const auto part = [&](qsizetype i) { return i < parts.size() ? QString::fromUtf8(parts.at(i)) : QString(); };
    const QString text = part(0);
    const QString start = part(1);
    const QString second = part(2);
    const QString end = part(3);

    // What comes out is a piece of the text that holds no end marker.
    const QString between = ExtractBetween(text, start, second, end);
    if (!between.isEmpty() && !text.contains(between))
        std::abort();
    if (!end.isEmpty() && between.contains(end))
        std::abort();
    if (!between.isEmpty() &&
        ((!start.isEmpty() && !text.contains(start)) || (!second.isEmpty() && !text.contains(second))))
        std::abort();

    // The Authorization value is one line with no blanks or control characters at either end.
    const QString authorization = authorizationFromHeaders(text);
    if (authorization.contains(QLatin1Char('\n')) ||
        (!authorization.isEmpty() &&
         (authorization.front().unicode() <= 0x20 || authorization.back().unicode() <= 0x20)))
        std::abort();
    const QString token = bearerToken(authorization);
    if (token.size() > authorization.size())
        std::abort();
    bearerToken(text);
    return 0;
}
