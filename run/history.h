#pragma once
// The applicant history (DatesDB.txt): lines of applicant key, "=" and the date of the latest
// export. Owned by one run thread; not thread-safe.
//
// Lines are kept in ascending order of their whole text under the case-insensitive collation of
// the Russian locale, and a line equal to one already present is not added again. The part before
// the first "=" is a line's name, the rest its value; a line without "=" is carried through and
// never matches. Loading a file that exists but cannot be read or decoded leaves the history
// empty and marks it unreadable: save() then refuses, so that file is never replaced by an empty
// list. Saving replaces the file whole or not at all, in the encoding it was read in.
//
// A history loaded from a file keeps a journal beside it (historyjournal.h): every date it records
// or takes back is synced to the journal before it counts, so that what a run wrote survives a
// kill before the save. Loading folds a journal left behind into the lines; a successful save
// removes it.

#include "textfile.h"

#include <QDate>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <memory>
#include <optional>

// "null" (exactly) becomes the empty text; then every TAB, LF and CR is removed.
QString CleanValue(const QString &text);
// The applicant's INN after CleanValue; its OGRN after CleanValue when that is empty; its full name
// after CleanValue when both are (a foreign applicant has neither, and one shared empty key would
// hide every other such applicant once the first was exported).
QString applicantKey(const QString &inn, const QString &ogrn, const QString &fullName = {});
// The applicant key as the history stores it before "=": "%", "=", CR, LF and NUL written as "%25",
// "%3D", "%0D", "%0A" and "%00", so that the file reads back to the same keys (a key "A=B" would
// otherwise read as "A" with the value "B=date"). A key of digits stays as it is.
QString historyName(const QString &key);

class History
{
public:
    enum class LoadState {
        Absent,     // no file: the history starts empty and is saved in the system code page
        Loaded,     // read, with its encoding remembered
        Unreadable, // exists but cannot be read or decoded: the run must not go on, nor save
    };
    struct LoadResult
    {
        LoadState state = LoadState::Absent;
        QString error; // with Unreadable: why
    };

    History();
    ~History();
    History(const History &) = delete;
    History &operator=(const History &) = delete;

    enum class Changes {
        Journaled, // each change is synced to the journal beside the file before it is made
        InMemory,  // changes are kept in memory until the save (for measurements and fuzzing)
    };
    // Replaces the content with the file's lines, sorted, duplicates dropped, and the changes of
    // the journal beside it. A journal that cannot be read makes the history unreadable, as the
    // file would.
    LoadResult load(const QString &path, Changes changes = Changes::Journaled);
    // Whole or nothing; once the file is saved, the journal beside it is removed. Refused (ok false)
    // after a load that found the file unreadable.
    TextFileResult save(const QString &path);

    // Adds a line in its place; false when an equal line is present.
    bool addLine(const QString &line);
    // The value of the first line, in the list's order, whose name equals key case-insensitively;
    // nothing when no line has that name.
    std::optional<QString> value(const QString &key) const;
    // Replaces the line that value(key) finds by key "=" day (short date), or adds that line. With
    // a journal, the change is synced to it first; when that fails (ok false) nothing changes.
    TextFileResult setDate(const QString &key, const QDate &day);
    // The whole line that value(key) reads; nothing when no line has that name.
    std::optional<QString> lineOf(const QString &key) const;
    // Takes back a setDate for key: removes the line it wrote and puts back previousLine (what
    // lineOf(key) gave before), so an applicant whose row could not be written is not recorded.
    // The lines change whatever the journal says (not ok: the journal still has the setDate).
    TextFileResult undoSetDate(const QString &key, const std::optional<QString> &previousLine);
    // How many lines carry this day as their value: the applicants recorded on that day.
    qsizetype linesDated(const QDate &day) const;

    QStringList lines() const;
    qsizetype size() const;
    TextEncoding encoding() const;
    bool isUnreadable() const;

private:
    void loadLines(TextContent &read);

    struct Private;
    std::unique_ptr<Private> d;
};

// What the history says about one applicant.
struct ApplicantDecision
{
    enum class Verdict {
        NotExported,      // no line, or an empty value: kept, history set to today
        ExportedLongAgo,  // more than SkipDays days ago: kept, history set to today
        ExportedRecently, // SkipDays days ago or less: skipped, history unchanged
        BadDate,          // the stored value is not a date: the phase ends with error
        NotRecorded,      // kept, but the journal refused today's date: not kept, the phase ends with error
    };
    Verdict verdict = Verdict::NotExported;
    bool keep = false;
    qint64 days = 0;
    QString logText; // the "Заявитель ..." line; empty with BadDate and NotRecorded
    QString error;   // with BadDate: the conversion error's text; with NotRecorded: the journal's
};

// Decides for the applicant with this key and name (both already cleaned) at the moment now, and
// records today's date in the history when the declaration is kept (journaled first, where the
// history has a journal). Days are the whole days
// between now and the stored date at 00:00, either way round, counted on the wall clock (a
// daylight-saving change does not move them).
ApplicantDecision decideApplicant(History &history, const QString &key, const QString &name, int skipDays,
                                  const QDateTime &now);
// The same decision, with the history left as it is.
ApplicantDecision judgeApplicant(const History &history, const QString &key, const QString &name, int skipDays,
                                 const QDateTime &now);
