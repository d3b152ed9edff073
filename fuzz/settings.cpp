// Fuzzes settings.ini and selection.txt: the input is the file's bytes. The eight settings and the
// [Network] section are read from it; writing the settings back must keep [Network] as it was and
// read back as the same settings. Each value is also read as a whole number, and the first bytes
// give a number that must read back from its decimal and hexadecimal texts. Then the same bytes
// are read as selection.txt, whose lines must survive being written and read again.
#include "settings.h"

#include "fuzzinput.h"

#include <QDir>
#include <cstdlib>
#include <cstring>

namespace {

bool operator==(const Settings &a, const Settings &b)
{
    return a.AutoStart == b.AutoStart && a.Time == b.Time && a.MinDays == b.MinDays && a.MaxDays == b.MaxDays &&
           a.SkipDays == b.SkipDays && a.MaxResults == b.MaxResults && a.BotToken == b.BotToken &&
           a.TgUserId == b.TgUserId;
}

bool operator==(const NetworkConfig &a, const NetworkConfig &b)
{
    return a.registryUrl == b.registryUrl && a.botApiUrl == b.botApiUrl && a.registryCaFile == b.registryCaFile &&
           a.botApiCaFile == b.botApiCaFile && a.loginUser == b.loginUser && a.loginPassword == b.loginPassword;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray bytes = fuzzBytes(data, size);
    const QString dir = scratchDir();
    writeScratchFile(settingsPath(dir), bytes);

    const Settings settings = readSettings(dir);
    const NetworkConfig network = readNetworkConfig(dir);

    const QString text = QString::fromUtf8(bytes);
    readWholeNumber(text, 30);
    for (const QString &line : text.split(QLatin1Char('\n')))
        readWholeNumber(line.mid(line.indexOf(QLatin1Char('=')) + 1), -1);

    if (size >= sizeof(std::int32_t)) {
        std::int32_t n = 0;
        std::memcpy(&n, data, sizeof n);
        if (readWholeNumber(QString::number(n), n == 7 ? 8 : 7) != n)
            std::abort();
        if (n >= 0 && readWholeNumber(QStringLiteral("0x") + QString::number(n, 16), n == 7 ? 8 : 7) != n)
            std::abort();
    }

    if (writeSettings(dir, settings).ok) {
        if (!(readSettings(dir) == settings) || !(readNetworkConfig(dir) == network))
            std::abort();
    }

    // The same bytes as selection.txt: its lines, written back, read back the same. A first line
    // that begins with U+FEFF loses it, being taken for a byte-order mark; and the file is written
    // in the system code page, so what that cannot hold (an unpaired surrogate read from UTF-16)
    // comes back as the code page has it.
    writeScratchFile(selectionPath(dir), bytes);
    const QStringList names = readSelection(dir);
    for (const QString &name : names) {
        if (name.contains(QLatin1Char('\r')) || name.contains(QLatin1Char('\n')))
            std::abort();
    }
    if (!writeSelection(dir, names).ok)
        std::abort();
    const auto comparable = [](QStringList lines) {
        for (QString &line : lines)
            line = QString::fromLocal8Bit(line.toLocal8Bit());
        while (!lines.isEmpty() && lines.constFirst().startsWith(QChar(0xFEFF)))
            lines.first().remove(0, 1);
        return lines;
    };
    if (comparable(readSelection(dir)) != comparable(names))
        std::abort();
    return 0;
}
