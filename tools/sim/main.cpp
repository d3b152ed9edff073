// registry-sim: the registry and Bot API double as a program of its own, for the demo and for
// end-to-end runs. Prints its base URL on one line once it listens, serves until SIGINT or SIGTERM,
// and exits non-zero when an option is wrong or it cannot listen.

#include "registrysim.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <clocale>
#include <QFile>
#include <QThread>
#include <atomic>
#include <csignal>
#include <cstdio>

using namespace Qt::StringLiterals;

namespace {

std::atomic<bool> stopRequested{false};

extern "C" void onSignal(int)
{
    stopRequested = true;
}

bool readNumber(const QCommandLineParser &parser, const QString &name, qint64 minimum, qint64 *value)
{
    if (!parser.isSet(name))
        return true;
    bool ok = false;
    const qint64 number = parser.value(name).toLongLong(&ok);
    if (!ok || number < minimum) {
        std::fprintf(stderr, "registry-sim: --%s needs a number of at least %lld\n", qPrintable(name),
                     static_cast<long long>(minimum));
        return false;
    }
    *value = number;
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    // Qt set the C locale from the environment: numbers in what the double writes keep their point.
    std::setlocale(LC_NUMERIC, "C");
    QCoreApplication::setApplicationName(u"registry-sim"_s);

    QCommandLineParser parser;
    parser.setApplicationDescription(u"Loopback double of the declarations registry and of the Bot API."_s);
    parser.addHelpOption();
    parser.addOptions({
        {u"declarations"_s, u"Number of declarations (default 1000)."_s, u"N"_s},
        {u"applicants"_s, u"Number of applicants (default 300)."_s, u"M"_s},
        {u"seed"_s, u"Seed of the data set (default 1)."_s, u"S"_s},
        {u"regulations"_s, u"Number of regulations (default 120)."_s, u"R"_s},
        {u"port"_s, u"Port on 127.0.0.1 (default: any free port)."_s, u"P"_s},
        {u"total-quirk"_s, u"Answer every search with this total instead of the count."_s, u"T"_s},
        {u"bot-token"_s, u"The bot token that sendmessage accepts."_s, u"TOKEN"_s},
        {u"bot-user"_s, u"The user name of the chat (empty: none)."_s, u"NAME"_s},
        {u"bot-chat-id"_s, u"The only chat_id sendmessage knows; others are \"chat not found\"."_s, u"ID"_s},
        {u"bot-blocked"_s, u"The user blocked the bot: sendmessage answers 403."_s},
        {u"fixtures"_s, u"Serve the saved replies of this folder."_s, u"DIR"_s},
        {u"today"_s, u"The day the data set is built around (default: today)."_s, u"yyyy-mm-dd"_s},
        {u"cert-out"_s, u"Write the server's certificate (PEM) to this file."_s, u"FILE"_s},
        {u"login-password"_s, u"The only password the login takes."_s, u"PASSWORD"_s},
        {u"login-needs-cookie"_s, u"Refuse the login and every registry request without the session cookie."_s},
        {u"applicant-inn"_s, u"Search items of the 2025 shape, with applicantInn."_s},
        {u"revoke-after"_s, u"Revoke every token once this many details were answered."_s, u"N"_s},
        {u"pad-details"_s, u"Make every detail reply this many bytes long (a padded string member)."_s, u"BYTES"_s},
        {u"pad-lookups"_s, u"Make every lookup reply this many bytes long (a padded string member)."_s, u"BYTES"_s},
    });
    parser.process(app);

    SimOptions options;
    qint64 number = 0;
    if (!readNumber(parser, u"declarations"_s, 0, &number))
        return 2;
    if (parser.isSet(u"declarations"_s))
        options.dataset.declarations = int(number);
    if (!readNumber(parser, u"applicants"_s, 1, &number))
        return 2;
    if (parser.isSet(u"applicants"_s))
        options.dataset.applicants = int(number);
    if (!readNumber(parser, u"regulations"_s, 0, &number))
        return 2;
    if (parser.isSet(u"regulations"_s))
        options.dataset.regulations = int(number);
    if (!readNumber(parser, u"seed"_s, 0, &number))
        return 2;
    if (parser.isSet(u"seed"_s))
        options.dataset.seed = quint64(number);
    if (!readNumber(parser, u"port"_s, 0, &number) || number > 65535)
        return 2;
    if (parser.isSet(u"port"_s))
        options.port = quint16(number);
    if (!readNumber(parser, u"total-quirk"_s, 0, &options.totalQuirk))
        return 2;
    if (parser.isSet(u"bot-token"_s))
        options.botToken = parser.value(u"bot-token"_s).toUtf8();
    if (parser.isSet(u"bot-user"_s))
        options.botUser = parser.value(u"bot-user"_s);
    options.botChatId = parser.value(u"bot-chat-id"_s);
    options.botBlocked = parser.isSet(u"bot-blocked"_s);
    options.fixturesDir = parser.value(u"fixtures"_s);
    if (parser.isSet(u"login-password"_s))
        options.loginPassword = parser.value(u"login-password"_s);
    options.loginNeedsCookie = parser.isSet(u"login-needs-cookie"_s);
    options.applicantInnInSearch = parser.isSet(u"applicant-inn"_s);
    if (!readNumber(parser, u"revoke-after"_s, 1, &number))
        return 2;
    if (parser.isSet(u"revoke-after"_s))
        options.revokeTokensAfterDetails = int(number);
    if (!readNumber(parser, u"pad-details"_s, 0, &options.padDetailsTo) ||
        !readNumber(parser, u"pad-lookups"_s, 0, &options.padLookupsTo))
        return 2;
    if (parser.isSet(u"today"_s)) {
        options.dataset.today = QDate::fromString(parser.value(u"today"_s), u"yyyy-MM-dd");
        if (!options.dataset.today.isValid()) {
            std::fprintf(stderr, "registry-sim: --today needs a date as yyyy-mm-dd\n");
            return 2;
        }
    }

    // Signals are caught before the server's threads exist; the handler only sets a flag.
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);

    RegistrySim sim(options);
    QString error;
    if (!sim.start(&error)) {
        std::fprintf(stderr, "registry-sim: %s\n", qPrintable(error));
        return 1;
    }
    if (parser.isSet(u"cert-out"_s)) {
        QFile file(parser.value(u"cert-out"_s));
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(sim.certificatePem()) < 0) {
            std::fprintf(stderr, "registry-sim: cannot write %s: %s\n", qPrintable(file.fileName()),
                         qPrintable(file.errorString()));
            return 1;
        }
    }
    std::printf("%s\n", qPrintable(sim.baseUrl()));
    std::fflush(stdout);

    while (!stopRequested)
        QThread::msleep(100);
    sim.stop();
    return 0;
}
