// Fuzzes the road of one declaration detail: the reply decoded from UTF-8 and parsed, the
// dictionary lookup composed from it, the applicant key and name taken and decided against a
// history, and the link and table row composed with a dictionary text. The input is the detail
// reply, then a NUL byte and the dictionary reply (no NUL: no dictionary text).
//
// Besides faults, it checks what the output files rely on: the link and the row are one line, and
// the row has exactly 21 TAB-separated cells whatever the reply holds, and what a worker keeps gives
// the same row as the whole reply: the members it reads from the detail's bytes are the whole
// document's kept members, and the dictionary reply read from its bytes gives the row its decoded
// text gives.
#include "fuzzinput.h"
#include "history.h"
#include "jsonstream.h"
#include "registryapi.h"
#include "rowcomposer.h"

#include <QDir>
#include <cstdlib>

namespace {

const QString registryUrl = QStringLiteral("https://pub.fsa.gov.ru");

bool isOneLine(const QString &text)
{
    return !text.contains(QLatin1Char('\r')) && !text.contains(QLatin1Char('\n'));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const SplitInput input = splitAtNul(fuzzBytes(data, size));
    const QString html = QString::fromUtf8(input.first);
    const QByteArray &html2 = input.second;

    // The verdict on a text read with its strings kept out of the parser is the parser's own.
    if (isJsonText(input.first, JsonEventSource::Utf8::Strict) != parseJson(input.first).has_value() ||
        isJsonText(html2, JsonEventSource::Utf8::Decoded) != parseJson(QString::fromUtf8(html2)).has_value())
        std::abort();
    // What a worker reads of the detail's bytes is the whole document reduced to its kept members.
    std::optional<Json> whole = parseJson(input.first);
    if (whole && (!whole->is_object() || (!whole->contains("idDeclaration") && !whole->contains("idCertificate"))))
        whole.reset();
    const DetailReading reading = readKeptDeclarationDetail(input.first);
    if (reading.outOfMemory || reading.detail != (whole ? std::optional<Json>(keptDetailMembers(std::move(*whole)))
                                                        : std::nullopt))
        std::abort();

    const std::optional<Json> detail = parseJson(html);
    if (!detail)
        return 0;

    const LookupBody lookup = lookupBody(*detail);
    if (lookup.ok != lookup.error.isEmpty() || (!lookup.ok && !lookup.body.isEmpty()))
        std::abort();

    if (!detail->is_object())
        return 0;
    const Json *applicant = jsonPath(*detail, "applicant");
    if (applicant && applicant->is_object()) {
        const QString key = applicantKey(jsonText(jsonPath(applicant, "inn")), jsonText(jsonPath(applicant, "ogrn")));
        const QString name = CleanValue(jsonText(jsonPath(applicant, "fullName")));
        // Made once (a history builds its collation tables when it is made); loading a file that is
        // not there empties it. Changes stay in memory: a journal on disk would carry one input's
        // applicants into the next input's load.
        static History history;
        static const QString noFile = QDir(scratchDir()).filePath(QStringLiteral("absent.txt"));
        if (history.load(noFile, History::Changes::InMemory).state != History::LoadState::Absent)
            std::abort();
        const QDateTime now(QDate(2024, 6, 1), QTime(12, 0));
        const ApplicantDecision first = decideApplicant(history, key, name, 60, now);
        if (first.verdict != ApplicantDecision::Verdict::NotExported || !first.keep || !isOneLine(first.logText))
            std::abort();
        // The same applicant again in the same run is found under today's date and skipped (a key
        // with "=" in it cannot be a line's name, so it is never found).
        const ApplicantDecision again = decideApplicant(history, key, name, 60, now);
        if (!key.contains(QLatin1Char('=')) &&
            (again.verdict != ApplicantDecision::Verdict::ExportedRecently || again.days != 0))
            std::abort();
    }

    const QStringList regulationIds = {QStringLiteral("28=ТР ТС 004/2011"), QStringLiteral("30=ТР ТС 020/2011"),
                                       QStringLiteral("null=пусто")};
    const QString link = declarationLink(registryUrl, *detail);
    const QString row = ComposeRow(*detail, html2, link, regulationIds);
    if (!isOneLine(link) || link.contains(QLatin1Char('\t')) || !isOneLine(row) ||
        row.count(QLatin1Char('\t')) != ResultColumnCount - 1 || !row.startsWith(link))
        std::abort();
    // The dictionary's bytes as they came give the row that its decoded text gives.
    if (ComposeRow(*detail, QString::fromUtf8(html2).toUtf8(), link, regulationIds) != row)
        std::abort();
    // What a worker keeps of the detail gives the same lookup and the same row, byte for byte.
    const Json kept = keptDetailMembers(Json(*detail));
    if (lookupBody(kept).body != lookup.body || declarationLink(registryUrl, kept) != link ||
        ComposeRow(kept, html2, link, regulationIds) != row)
        std::abort();
    return 0;
}
