#include "jsonstream.h"

#include <algorithm>
#include <optional>

namespace {

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

int hexDigit(unsigned char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The four hex digits at p as a number; -1 when there are not four.
int fourHexDigits(const unsigned char *p, const unsigned char *end)
{
    if (end - p < 4)
        return -1;
    int value = 0;
    for (int i = 0; i < 4; ++i) {
        const int digit = hexDigit(p[i]);
        if (digit < 0)
            return -1;
        value = value * 16 + digit;
    }
    return value;
}

bool inRange(const unsigned char *p, const unsigned char *end, int offset, unsigned char low, unsigned char high)
{
    return end - p > offset && p[offset] >= low && p[offset] <= high;
}

// The length of the well-formed UTF-8 sequence that starts at p (a byte of 0x80 or more); 0 when
// it is ill-formed. The byte ranges are RFC 3629's, as nlohmann's lexer checks them.
int wellFormedLength(const unsigned char *p, const unsigned char *end)
{
    const unsigned char lead = *p;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    int length = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0)
            low = 0xA0;
        else if (lead == 0xED)
            high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0)
            low = 0x90;
        else if (lead == 0xF4)
            high = 0x8F;
    } else {
        return 0;
    }
    if (!inRange(p, end, 1, low, high))
        return 0;
    for (int i = 2; i < length; ++i) {
        if (!inRange(p, end, i, 0x80, 0xBF))
            return 0;
    }
    return length;
}

void appendUtf8(std::string &out, unsigned int codepoint)
{
    if (codepoint < 0x80) {
        out += char(codepoint);
    } else if (codepoint <= 0x7FF) {
        out += char(0xC0u | (codepoint >> 6u));
        out += char(0x80u | (codepoint & 0x3Fu));
    } else if (codepoint <= 0xFFFF) {
        out += char(0xE0u | (codepoint >> 12u));
        out += char(0x80u | ((codepoint >> 6u) & 0x3Fu));
        out += char(0x80u | (codepoint & 0x3Fu));
    } else {
        out += char(0xF0u | (codepoint >> 18u));
        out += char(0x80u | ((codepoint >> 12u) & 0x3Fu));
        out += char(0x80u | ((codepoint >> 6u) & 0x3Fu));
        out += char(0x80u | (codepoint & 0x3Fu));
    }
}

// A number longer than this reaches the lexer shortened.
constexpr qsizetype kLongNumber = 256;

// Of the significant digits of a long number, the first this many and whether any of the rest is not
// zero decide the nearest double: no double needs more than 767 digits to tell it from its neighbours.
constexpr std::size_t kKeptDigits = 800;

// A JSON number of any length as a short one that reads as the same double: "0.<digits>e<exponent>",
// its sign kept (so -0 stays -0). A value past the double's range stays past it, one too small for it
// stays too small. Nothing when the run is not one number by JSON's grammar.
std::optional<std::string> shortenedNumber(QByteArrayView run)
{
    qsizetype at = 0;
    const auto digits = [&] {
        const qsizetype from = at;
        while (at < run.size() && run[at] >= '0' && run[at] <= '9')
            ++at;
        return run.sliced(from, at - from);
    };
    const bool negative = at < run.size() && run[at] == '-';
    if (negative)
        ++at;
    const QByteArrayView integer = digits();
    if (integer.isEmpty() || (integer.size() > 1 && integer.front() == '0'))
        return std::nullopt;
    QByteArrayView fraction;
    if (at < run.size() && run[at] == '.') {
        ++at;
        fraction = digits();
        if (fraction.isEmpty())
            return std::nullopt;
    }
    bool exponentNegative = false;
    QByteArrayView exponent;
    if (at < run.size() && (run[at] == 'e' || run[at] == 'E')) {
        ++at;
        if (at < run.size() && (run[at] == '+' || run[at] == '-'))
            exponentNegative = run[at++] == '-';
        exponent = digits();
        if (exponent.isEmpty())
            return std::nullopt;
    }
    if (at != run.size())
        return std::nullopt;

    // The value is 0.<significant digits> × 10^(scale + exponent), scale counting from the decimal
    // point to the first significant digit.
    std::string significant;
    qint64 scale = integer.size();
    bool sticky = false;
    for (const QByteArrayView part : {integer, fraction}) {
        for (const char d : part) {
            if (significant.empty() && d == '0') {
                --scale;
            } else if (significant.size() < kKeptDigits) {
                significant += d;
            } else if (d != '0') {
                sticky = true;
            }
        }
    }
    std::string out = negative ? "-0." : "0.";
    if (significant.empty())
        return out + '0';
    if (sticky)
        significant += '1';
    // Past ±400 a double is infinite or zero whatever the digits; an exponent of many digits stops
    // growing long before its sum with the scale could overflow.
    qint64 power = 0;
    for (const char d : exponent) {
        power = power * 10 + (d - '0');
        if (power > 1000000)
            break;
    }
    power = std::clamp<qint64>((exponentNegative ? -power : power) + scale, -400, 400);
    return out + significant + 'e' + std::to_string(power);
}

// Answers every event with "go on" and counts the nesting: what parseJson's limit refuses, this
// refuses at the same container.
struct Acceptor
{
    int depth = 0;
    bool null() { return true; }
    bool boolean(bool) { return true; }
    bool number_integer(Json::number_integer_t) { return true; }
    bool number_unsigned(Json::number_unsigned_t) { return true; }
    bool number_float(Json::number_float_t, const Json::string_t &) { return true; }
    bool string(Json::string_t &) { return true; }
    bool binary(Json::binary_t &) { return true; }
    bool start_object(std::size_t) { return ++depth <= maxJsonDepth; }
    bool end_object() { return --depth >= 0; }
    bool start_array(std::size_t) { return ++depth <= maxJsonDepth; }
    bool end_array() { return --depth >= 0; }
    bool key(Json::string_t &) { return true; }
    bool parse_error(std::size_t, const std::string &, const nlohmann::detail::exception &) { return false; }
};

} // namespace

void JsonEventSource::prime()
{
    if (m_primed)
        return;
    m_primed = true;
    // QString::fromUtf8 drops a byte-order mark at the start; the parser then skips one more.
    if (m_utf8 == Utf8::Decoded && m_end - m_at >= 3 && QByteArrayView(m_at, 3) == "\xEF\xBB\xBF")
        m_at += 3;
    advance();
}

void JsonEventSource::advance()
{
    if (m_pendingAt < m_pending.size()) {
        m_current = m_pending[m_pendingAt++];
        return;
    }
    if (m_at == m_end) {
        m_done = true;
        m_current = 0;
        return;
    }
    const char c = *m_at;
    if (c == '"') {
        const char *content = m_at + 1;
        const std::ptrdiff_t length = stringLength(content);
        m_current = '"';
        m_pendingAt = 0;
        if (length < 0) {
            // An unescaped control character: the lexer ends at once with an error, having
            // read two characters of the string instead of all of them.
            m_pending = "\x01";
            m_at = m_end;
        } else {
            m_pending = "\"";
            m_lastString = QByteArrayView(content, length);
            m_at = content + length + 1;
        }
        return;
    }
    if (c == '-' || (c >= '0' && c <= '9')) {
        number();
        return;
    }
    if (isBlank(c)) {
        while (m_at != m_end && isBlank(*m_at))
            ++m_at;
        m_current = ' ';
        return;
    }
    m_current = c;
    ++m_at;
}

void JsonEventSource::number()
{
    const auto isNumberCharacter = [](char c) {
        return (c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E';
    };
    const char *end = m_at;
    while (end != m_end && isNumberCharacter(*end))
        ++end;
    const QByteArrayView run(m_at, end - m_at);
    m_at = end;
    m_pendingAt = 0;
    if (run.size() <= kLongNumber) {
        m_pending.assign(run.data() + 1, std::size_t(run.size() - 1));
        m_current = run.front();
        return;
    }
    // A run of number characters is one number or no JSON at all: two numbers never stand side by side.
    const std::optional<std::string> shortened = shortenedNumber(run);
    if (!shortened) {
        m_current = '-';
        m_pending = "x"; // "-x": the lexer ends with an error
        m_at = m_end;
        return;
    }
    m_current = shortened->front();
    m_pending = shortened->substr(1);
}

std::ptrdiff_t JsonEventSource::stringLength(const char *from) const
{
    const auto *begin = reinterpret_cast<const unsigned char *>(from);
    const auto *end = reinterpret_cast<const unsigned char *>(m_end);
    const unsigned char *p = begin;
    while (p < end) {
        const unsigned char c = *p;
        if (c == '"')
            return p - begin;
        if (c == '\\') {
            if (end - p < 2)
                return -1;
            switch (p[1]) {
            case '"':
            case '\\':
            case '/':
            case 'b':
            case 'f':
            case 'n':
            case 'r':
            case 't':
                p += 2;
                continue;
            case 'u': {
                const int codepoint = fourHexDigits(p + 2, end);
                if (codepoint < 0 || (codepoint >= 0xDC00 && codepoint <= 0xDFFF))
                    return -1;
                p += 6;
                if (codepoint >= 0xD800 && codepoint <= 0xDBFF) {
                    // A high surrogate is only ever the first half of a pair.
                    if (end - p < 2 || p[0] != '\\' || p[1] != 'u')
                        return -1;
                    const int low = fourHexDigits(p + 2, end);
                    if (low < 0xDC00 || low > 0xDFFF)
                        return -1;
                    p += 6;
                }
                continue;
            }
            default:
                return -1;
            }
        }
        if (c < 0x20)
            return -1;
        if (c < 0x80 || m_utf8 == Utf8::Decoded) {
            ++p;
            continue;
        }
        const int length = wellFormedLength(p, end);
        if (length == 0)
            return -1;
        p += length;
    }
    return -1;
}

std::string decodedJsonString(QByteArrayView content)
{
    const auto *p = reinterpret_cast<const unsigned char *>(content.data());
    const auto *end = p + content.size();
    std::string out;
    out.reserve(std::size_t(content.size())); // escapes only shorten the text
    while (p < end) {
        if (*p != '\\' || end - p < 2) {
            out += char(*p++);
            continue;
        }
        const unsigned char escaped = p[1];
        p += 2;
        switch (escaped) {
        case 'b':
            out += '\b';
            break;
        case 'f':
            out += '\f';
            break;
        case 'n':
            out += '\n';
            break;
        case 'r':
            out += '\r';
            break;
        case 't':
            out += '\t';
            break;
        case 'u': {
            int codepoint = fourHexDigits(p, end);
            if (codepoint < 0)
                break;
            p += 4;
            if (codepoint >= 0xD800 && codepoint <= 0xDBFF && end - p >= 6 && p[0] == '\\' && p[1] == 'u') {
                const int low = fourHexDigits(p + 2, end);
                if (low >= 0xDC00 && low <= 0xDFFF) {
                    codepoint = 0x10000 + ((codepoint - 0xD800) << 10) + (low - 0xDC00);
                    p += 6;
                }
            }
            appendUtf8(out, unsigned(codepoint));
            break;
        }
        default: // '"', '\\' and '/' stand for themselves
            out += char(escaped);
            break;
        }
    }
    return out;
}

bool isJsonText(QByteArrayView text, JsonEventSource::Utf8 utf8)
{
    JsonEventSource source(text, utf8);
    Acceptor acceptor;
    return source.parse(acceptor);
}
