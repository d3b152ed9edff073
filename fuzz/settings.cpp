// Fuzzes settings.ini: the input is the file's bytes. The eight settings and the [Network] section
// are read from it; writing the settings back must keep [Network] as it was and read back as the
// same settings. Each value is also read as a whole number, and the first bytes give a number that
// must read back from its decimal and hexadecimal texts.
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
    return 0;
}
