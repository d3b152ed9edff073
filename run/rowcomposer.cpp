#include "rowcomposer.h"

#include "jsonstream.h"
#include "registryapi.h"

#include <QRegularExpression>
#include <QStringDecoder>

namespace {

QString fieldText(const Json &detail, std::string_view path)
{
    return jsonText(jsonPath(detail, path));
}

// The names of the listed regulations joined by ","; an id missing from the list leaves an
// empty place between the commas.
QString regulationNames(const Json &detail, const QStringList &regulationIds)
{
    const Json *ids = jsonArray(jsonPath(detail, "idTechnicalReglaments"));
    QString names;
    for (std::size_t i = 0; i < jsonLength(ids); ++i) {
        const QString id = jsonText(jsonElement(ids, i));
        QString name;
        for (const QString &line : regulationIds) {
            const qsizetype eq = line.indexOf(QLatin1Char('='));
            if (eq >= 0 && QStringView(line).first(eq).compare(id, Qt::CaseInsensitive) == 0) {
                name = line.mid(eq + 1);
                break;
            }
        }
        names += QLatin1Char(',') + name;
    }
    if (names.startsWith(QLatin1Char(',')))
        names.remove(0, 1);
    return names;
}

// The member of the first element whose type member reads typeText; empty when none has it.
QString firstOfType(const Json *array, std::string_view typeMember, const QString &typeText, std::string_view member)
{
    const Json *items = jsonArray(array);
    for (std::size_t i = 0; i < jsonLength(items); ++i) {
        const Json *item = jsonElement(items, i);
        if (jsonText(jsonPath(item, typeMember)) == typeText)
            return jsonText(jsonPath(item, member));
    }
    return {};
}

QString contact(const Json &detail, const QString &typeText)
{
    const QString responsible =
        firstOfType(jsonPath(detail, "applicant.responsibleContacts"), "idContactType", typeText, "value");
    if (!responsible.isEmpty())
        return responsible;
    return firstOfType(jsonPath(detail, "applicant.contacts"), "idContactType", typeText, "value");
}

// The part of text between markers, as ExtractBetween finds it in the decoded text: the markers
// are ASCII, and no byte of a multi-byte UTF-8 sequence (nor an ill-formed byte) is ever read as an
// ASCII character, so the bytes hold them at the same places.
QByteArrayView extractBetween(QByteArrayView text, QByteArrayView start, QByteArrayView second, QByteArrayView end)
{
    const qsizetype anchor = text.indexOf(start);
    if (anchor < 0)
        return {};
    qsizetype contentFrom = anchor + start.size();
    const qsizetype secondAt = text.indexOf(second, contentFrom);
    if (secondAt < 0)
        return {};
    contentFrom = secondAt + second.size();
    const qsizetype until = text.indexOf(end, contentFrom);
    if (until < 0)
        return {};
    return text.sliced(contentFrom, until - contentFrom);
}

// A piece of the reply decoded as the whole reply's decoding shows it: each ill-formed byte is one
// U+FFFD there as here (a piece lies between ASCII quotation marks, so no sequence is cut), and a
// byte-order mark at the piece's start is a character, as it is inside the text.
QString decodedPiece(QByteArrayView piece)
{
    QStringDecoder decoder(QStringDecoder::Utf8,
                           QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    return decoder.decode(piece);
}

QString dictionaryValue(const QByteArray &text, const char *dictionary, const char *member)
{
    const QByteArray start = '"' + QByteArray(dictionary) + '"';
    const QByteArray second = '"' + QByteArray(member) + "\":\"";
    return decodedPiece(extractBetween(text, start, second, "\""));
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Tells each character of the text to visit(c, between), between being whether it stands between
// JSON tokens (outside quotation marks); visit answers whether to go on.
template <typename Visit>
void walkTokens(const QByteArray &text, Visit visit)
{
    bool inString = false;
    bool escaped = false;
    for (const char c : text) {
        const bool between = !inString && c != '"';
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        }
        if (!visit(c, between))
            return;
    }
}

// The dictionary reply is read by markers that expect compact JSON ("name":"…"). A reply that is
// JSON laid out with blanks between its tokens (pretty-printed, as saved copies are) loses those
// blanks first, and nothing else: its strings stay as they came, escapes undecoded. Every other
// reply (compact JSON, also with a line feed at its end, or no JSON at all) is read verbatim. JSON
// here is what the reply decoded as text would parse as; the check builds none of it, so a reply
// of tens of megabytes costs no more than its own bytes (and, laid out with blanks, one compact copy).
QByteArray compactDictionaryText(const QByteArray &text)
{
    bool blankBetweenTokens = false;
    walkTokens(text, [&](char c, bool between) {
        blankBetweenTokens = between && isBlank(c);
        return !blankBetweenTokens;
    });
    if (!blankBetweenTokens || !isJsonText(text, JsonEventSource::Utf8::Decoded))
        return text;
    QByteArray compact;
    compact.reserve(text.size());
    walkTokens(text, [&](char c, bool between) {
        if (!between || !isBlank(c))
            compact += c;
        return true;
    });
    return compact;
}

} // namespace

QString NullToEmpty(const QString &text)
{
    return text == u"null" ? QString() : text;
}

QString cleanCell(const QString &text)
{
    static const QRegularExpression breaks(QStringLiteral("[\\t\\r\\n]+"));
    if (!text.contains(QLatin1Char('\t')) && !text.contains(QLatin1Char('\r')) && !text.contains(QLatin1Char('\n')))
        return text;
    QString clean = text;
    clean.replace(breaks, QStringLiteral(" "));
    return clean;
}

QString declarationLink(const QString &registryUrl, const Json &detail)
{
    return cleanCell(declarationViewUrl(registryUrl, fieldText(detail, "idDeclaration")));
}

QStringList composeCells(const Json &detail, const QByteArray &dictionaryText, const QString &link,
                         const QStringList &regulationIds)
{
    const QByteArray dict = compactDictionaryText(dictionaryText);
    const Json *addresses = jsonPath(detail, "applicant.addresses");
    QStringList cells = {
        link,
        fieldText(detail, "number"),
        fieldText(detail, "declRegDate"),
        fieldText(detail, "declEndDate"),
        regulationNames(detail, regulationIds),
        dictionaryValue(dict, "techregProductListEEU", "name"),
        dictionaryValue(dict, "tnved", "code") + QLatin1Char(' ') + dictionaryValue(dict, "tnved", "name"),
        dictionaryValue(dict, "applicantType", "name"),
        fieldText(detail, "applicant.ogrn"),
        fieldText(detail, "applicant.inn"),
        NullToEmpty(fieldText(detail, "applicant.fullName")),
        NullToEmpty(fieldText(detail, "applicant.shortName")),
        NullToEmpty(fieldText(detail, "applicant.surname")),
        NullToEmpty(fieldText(detail, "applicant.firstName")),
        NullToEmpty(fieldText(detail, "applicant.patronymic")),
        NullToEmpty(fieldText(detail, "applicant.headPosition")),
        dictionaryValue(dict, "fiasAddrobj", "shortname") + QLatin1Char(' ') +
            dictionaryValue(dict, "fiasAddrobj", "offname"),
        firstOfType(addresses, "idAddrType", QStringLiteral("1"), "fullAddress"),
        firstOfType(addresses, "idAddrType", QStringLiteral("3"), "fullAddress"),
        contact(detail, QStringLiteral("1")),
        contact(detail, QStringLiteral("4")),
    };
    for (QString &cell : cells)
        cell = cleanCell(cell);
    return cells;
}

QString ComposeRow(const Json &detail, const QByteArray &dictionaryText, const QString &link,
                   const QStringList &regulationIds)
{
    return composeCells(detail, dictionaryText, link, regulationIds).join(QLatin1Char('\t'));
}

QString resultHeaderLine()
{
    static const QStringList headers = {
        QStringLiteral("Ссылка на декларацию"),
        QStringLiteral("Регистрационный номер декларации"),
        QStringLiteral("Дата регистрации декларации"),
        QStringLiteral("Дата окончания действия декларации"),
        QStringLiteral("Технические регламенты"),
        QStringLiteral("Группа продукции ЕАЭС"),
        QStringLiteral("Код ТН ВЭД ЕАЭС"),
        QStringLiteral("Тип заявителя"),
        QStringLiteral("ОГРН заявителя"),
        QStringLiteral("ИНН заявителя"),
        QStringLiteral("Полное наименование юридического лица"),
        QStringLiteral("Сокращенное наименование юридического лица"),
        QStringLiteral("Фамилия руководителя"),
        QStringLiteral("Имя руководителя"),
        QStringLiteral("Отчество руководителя"),
        QStringLiteral("Должность руководителя"),
        QStringLiteral("Регион"),
        QStringLiteral("Адрес места нахождения"),
        QStringLiteral("Адрес места осуществления деятельности"),
        QStringLiteral("Номер телефона"),
        QStringLiteral("Адрес электронной почты"),
    };
    return headers.join(QLatin1Char('\t'));
}
