#include "rowcomposer.h"

#include "registryapi.h"
#include "textscan.h"

#include <QRegularExpression>
#include <algorithm>

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

QString dictionaryValue(const QString &text, const char *dictionary, const char *member)
{
    return ExtractBetween(text, QLatin1Char('"') + QLatin1String(dictionary) + QLatin1Char('"'),
                          QLatin1Char('"') + QLatin1String(member) + QStringLiteral("\":\""), QStringLiteral("\""));
}

// The text without the blanks that lie between JSON tokens; what stands inside quotation marks is
// kept exactly, escapes included.
QString withoutBlanksBetweenTokens(const QString &text)
{
    QString compact;
    compact.reserve(text.size());
    bool inString = false;
    bool escaped = false;
    for (const QChar c : text) {
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == u'\\')
                escaped = true;
            else if (c == u'"')
                inString = false;
        } else if (c == u'"') {
            inString = true;
        } else if (c == u' ' || c == u'\t' || c == u'\n' || c == u'\r') {
            continue;
        }
        compact += c;
    }
    return compact;
}

// The dictionary reply is read as text by markers that expect compact JSON ("name":"…"). A reply
// that is JSON laid out with blanks between its tokens (pretty-printed, as saved copies are) loses
// those blanks first, and nothing else: its strings stay as they came, escapes undecoded. Every
// other reply (compact JSON, also with a line feed at its end, or no JSON at all) is read verbatim.
QString compactDictionaryText(const QString &text)
{
    // With no blank in it at all the text is its own compact form: no copy of a reply that may be
    // tens of megabytes.
    const auto blank = [](QChar c) { return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r'; };
    if (std::none_of(text.cbegin(), text.cend(), blank))
        return text;
    const QString compact = withoutBlanksBetweenTokens(text);
    if (compact == text.trimmed() || !parseJson(text))
        return text;
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

QStringList composeCells(const Json &detail, const QString &dictionaryText, const QString &link,
                         const QStringList &regulationIds)
{
    const QString dict = compactDictionaryText(dictionaryText);
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

QString ComposeRow(const Json &detail, const QString &dictionaryText, const QString &link,
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
