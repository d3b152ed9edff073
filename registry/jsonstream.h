#pragma once
// JSON text read as a stream of events (nlohmann's SAX interface) without its strings passing
// through the parser. nlohmann's lexer copies every string twice while it reads it (its token
// buffer and the raw token it keeps for error messages), so a reply that is one string of tens of
// megabytes would cost that many megabytes twice over before a handler could drop it. Here the
// text reaches the parser with each string emptied: the string's characters are checked here by
// the lexer's own rules and stay where they are, and a handler that wants one decodes it from
// lastString(). A run of blanks between tokens reaches the parser as one blank, and a number of more
// than a few hundred characters as a short one of the same value (the lexer copies a number twice
// as well, and four times more when it reports one too large), for the same reason.
//
// What the parser accepts and rejects is exactly what it would on the whole text; a string that
// breaks the rules ends the parse as an error, as it would in the lexer.

#include "json.h"

#include <QByteArrayView>

#include <cstddef>
#include <iterator>
#include <string>

class JsonEventSource
{
public:
    enum class Utf8 {
        Strict,  // an ill-formed UTF-8 byte inside a string is an error, as nlohmann reads bytes
        Decoded, // the text as QString::fromUtf8 decodes it: an ill-formed byte is a U+FFFD, which a string may hold
    };

    JsonEventSource(QByteArrayView text, Utf8 utf8) : m_at(text.data()), m_end(text.data() + text.size()), m_utf8(utf8)
    {
    }

    // The characters between the quotation marks of the string (a member name or a value) that
    // the parser reported last, escapes undecoded.
    QByteArrayView lastString() const { return m_lastString; }

    // Feeds the text to sax. No exception of the parser's own: an error is sax.parse_error's to
    // answer (with false), and the handler's exceptions (std::bad_alloc) are the caller's.
    template <typename Sax>
    bool parse(Sax &sax)
    {
        return Json::sax_parse(Cursor(this), Cursor(nullptr), &sax, nlohmann::detail::input_format_t::json, true, false);
    }

    // The one-pass input the parser reads; every copy reads the same source.
    class Cursor
    {
    public:
        using iterator_category = std::input_iterator_tag;
        using value_type = char;
        using difference_type = std::ptrdiff_t;
        using pointer = const char *;
        using reference = const char &;

        explicit Cursor(JsonEventSource *source) : m_source(source)
        {
            if (m_source)
                m_source->prime();
        }
        const char &operator*() const { return m_source->m_current; }
        Cursor &operator++()
        {
            m_source->advance();
            return *this;
        }
        Cursor operator++(int)
        {
            Cursor before = *this;
            m_source->advance();
            return before;
        }
        bool operator==(const Cursor &other) const { return atEnd() == other.atEnd(); }
        bool operator!=(const Cursor &other) const { return !(*this == other); }

    private:
        bool atEnd() const { return !m_source || m_source->m_done; }
        JsonEventSource *m_source;
    };

private:
    void prime();
    void advance();
    // The length of the string content from `from` up to its closing quotation mark; -1 when the
    // string breaks a rule or never closes.
    std::ptrdiff_t stringLength(const char *from) const;
    // Hands over the number that begins at m_at: as it is when it is short, else as a short number
    // the lexer reads as the same value (or as an error when it is none).
    void number();

    const char *m_at;  // the next byte of the text not yet handed over
    const char *m_end;
    Utf8 m_utf8;
    bool m_primed = false;
    bool m_done = false;
    char m_current = 0; // the character the parser reads now
    // Characters handed over before the text goes on: the closing quotation mark of an emptied
    // string, the rest of a shortened number, or an error's stand-in.
    std::string m_pending;
    std::size_t m_pendingAt = 0;
    QByteArrayView m_lastString;
};

// The text of a string's content as checked by JsonEventSource, escapes decoded to UTF-8 exactly as
// nlohmann decodes them.
std::string decodedJsonString(QByteArrayView content);

// Whether parseJson would give a document for this text (the nesting limit included), without
// building any of it. With Utf8::Decoded: whether it would for QString::fromUtf8 of the text.
bool isJsonText(QByteArrayView text, JsonEventSource::Utf8 utf8);
