// Fuzzes DatesDB.txt: the input is the file's bytes. It is loaded, looked up, decided on and saved
// to another file, which must read back as the same lines in the same encoding. A file that cannot
// be decoded must be refused on save and left as it was.
#include "history.h"

#include "fuzzinput.h"
#include "sortedtextlist.h"

#include <QCollator>
#include <QDir>
#include <cstdlib>

namespace {

QString nameOf(const QString &line)
{
    return line.left(line.indexOf(QLatin1Char('=')));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray bytes = fuzzBytes(data, size);
    const QString path = QDir(scratchDir()).filePath(QStringLiteral("DatesDB.txt"));
    const QString savedPath = QDir(scratchDir()).filePath(QStringLiteral("DatesDB-saved.txt"));
    writeScratchFile(path, bytes);
    QFile::remove(savedPath);

    // Made once: a history builds its collation tables when it is made, and load() starts afresh.
    static History history;
    static History reread;
    // Changes stay in memory: a journal synced to disk for every decision would only slow the fuzzer.
    const History::LoadResult loaded = history.load(path, History::Changes::InMemory);
    if (loaded.state == History::LoadState::Unreadable) {
        if (history.save(path).ok || history.size() != 0)
            std::abort();
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly) || file.readAll() != bytes)
            std::abort();
        return 0;
    }
    if (loaded.state != History::LoadState::Loaded)
        std::abort();

    // Sorted, no two equal.
    static const QCollator collator = listCollator();
    const QStringList lines = history.lines();
    for (qsizetype i = 1; i < lines.size(); ++i) {
        if (collator.compare(lines.at(i - 1), lines.at(i)) >= 0)
            std::abort();
    }

    // Every named line is found under its name; the first such line in list order wins.
    for (qsizetype i = 0; i < std::min<qsizetype>(lines.size(), 8); ++i) {
        const QString &line = lines.at(i);
        if (!line.contains(QLatin1Char('=')))
            continue;
        const std::optional<QString> value = history.value(nameOf(line));
        if (!value)
            std::abort();
    }

    const QDateTime now(QDate(2024, 6, 1), QTime(12, 0));
    for (qsizetype i = 0; i < std::min<qsizetype>(lines.size(), 4); ++i) {
        const QString key = nameOf(lines.at(i));
        const ApplicantDecision decision = decideApplicant(history, key, QStringLiteral("ООО Ромашка"), 60, now);
        if (decision.verdict == ApplicantDecision::Verdict::BadDate && decision.error.isEmpty())
            std::abort();
    }
    decideApplicant(history, QStringLiteral("7700000000"), QStringLiteral("АО Тест"), 0, now);

    if (!history.save(savedPath).ok)
        std::abort();
    // A first line that begins with U+FEFF (a stray byte-order mark inside the file read, as after
    // joining two files) loses it on reading back: it is taken for a byte-order mark. Saved in the
    // system code page (UTF-8 here) it turns the file into UTF-8 with a mark.
    const auto withoutLeadingMarks = [](QStringList lines) {
        while (!lines.isEmpty() && lines.constFirst().startsWith(QChar(0xFEFF)))
            lines.first().remove(0, 1);
        return lines;
    };
    const QStringList saved = history.lines();
    const bool marked = !saved.isEmpty() && saved.constFirst().startsWith(QChar(0xFEFF));
    const TextEncoding expectedEncoding =
        marked && history.encoding() == TextEncoding::System ? TextEncoding::Utf8Bom : history.encoding();
    // Windows-1251 goes back as it came, or as UTF-8 with a mark where it could not carry the text
    // back unchanged; with nothing but ASCII left, it reads as the system code page.
    const auto encodingKept = [&](TextEncoding read) {
        if (history.encoding() == TextEncoding::Windows1251)
            return read == TextEncoding::Windows1251 || read == TextEncoding::Utf8Bom || read == TextEncoding::System;
        return read == expectedEncoding;
    };
    if (reread.load(savedPath, History::Changes::InMemory).state != History::LoadState::Loaded ||
        withoutLeadingMarks(reread.lines()) != withoutLeadingMarks(saved) || !encodingKept(reread.encoding()))
        std::abort();
    return 0;
}
