#pragma once
// DatesDB.journal, beside DatesDB.txt: the changes a run made to the history since DatesDB.txt was
// last saved, each written and synced to disk before the result row it stands for. A run killed at
// any moment (or a power cut) leaves a history that, read together with its journal, knows every
// applicant whose row is in a result file; the next load folds the journal in, and the next
// successful save of DatesDB.txt removes it.
//
// The file is UTF-8, one change a line: "+" and a history line that was added, or "-" and one that
// was removed; a line "." closes an entry. An entry without its "." (a write cut short) is ignored
// and cut off before the next one is appended. Replaying the changes in order onto the history
// they were made to, or onto one saved after them, gives the same lines, so a journal that
// outlived its save (the removal failed, or a kill came in between) does no harm.

#include "textfile.h"

#include <QString>

#include <vector>

struct JournalChange
{
    bool added = true; // false: the line was removed
    QString line;
};

struct JournalContent
{
    bool exists = false;
    TextFileResult status;               // a journal that exists but cannot be read: ok false
    std::vector<JournalChange> changes;  // of the complete entries, in order
    qint64 completeSize = 0;             // bytes up to the end of the last complete entry
};

// "<folder>/DatesDB.journal" for "<folder>/DatesDB.txt".
QString historyJournalPath(const QString &historyPath);

JournalContent readHistoryJournal(const QString &path);

// Appends entries to one journal file. Owned by the history of one run; the folder's lock keeps
// every other writer away.
class HistoryJournal
{
public:
    // completeSize: where the file's complete entries end (0 for a file that is absent).
    HistoryJournal(QString path, qint64 completeSize);

    // One entry, synced to disk before this returns ok. A new file is its owner's only. Whatever
    // follows the last complete entry is cut off first; an append that fails is taken back.
    TextFileResult append(const std::vector<JournalChange> &changes);
    // Removes the file (once the history it records is saved); the next append starts a new one.
    void remove();

    QString path() const { return m_path; }

private:
    QString m_path;
    qint64 m_size = 0;
};

// Syncs the folder that holds path, so that a file made or renamed in it survives a power cut.
// Does nothing where the system offers no such call.
void syncFolderOf(const QString &path);
