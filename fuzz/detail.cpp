// Fuzzes the road of one declaration detail: the reply decoded from UTF-8 and parsed, the
// dictionary lookup composed from it, the applicant key and name taken and decided against a
// history, and the link and table row composed with a dictionary text. The input is the detail
// reply, then a NUL byte and the dictionary reply (no NUL: no dictionary text).
//
// Besides faults, it checks what the output files rely on: the link and the row are one line, and
// the row has exactly 21 TAB-separated cells whatever the reply holds, and the members a worker
// keeps of a detail give the same row as the whole detail.
#include "fuzzinput.h"
#include "history.h"
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
    const QString html2 = QString::fromUtf8(input.second);

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
    // What a worker keeps of the detail gives the same lookup and the same row, byte for byte.
    const Json kept = keptDetailMembers(Json(*detail));
    if (lookupBody(kept).body != lookup.body || declarationLink(registryUrl, kept) != link ||
        ComposeRow(kept, html2, link, regulationIds) != row)
        std::abort();
    return 0;
}
