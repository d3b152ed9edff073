// The window's decisions as plain functions: start-up checks, the interval label, the autostart
// test, restoring the selection, the time field, where the window opens, and the Russian sentences
// before libcurl's texts.
#include "autostart.h"
#include "connectionfailure.h"
#include "intervallabel.h"
#include "loginrecovery.h"
#include "selection.h"
#include "startupchecks.h"
#include "timemaskedit.h"
#include "windowplacement.h"

#include <QLineEdit>
#include <QListWidget>
#include <QTest>
#include <curl/curl.h>
#include <gtest/gtest.h>

namespace {

const QString tail = QStringLiteral(
    "Для корректной работы программы извлеките файлы программы из архива в отдельную папку. Это можно сделать, "
    "кликнув правой кнопкой мыши на архиве и выбрав пункт меню \"Извлечь все\"");

} // namespace

TEST(StartupChecks, PathsAndLibrary)
{
    const struct
    {
        const char *dir;
        bool tls;
        StartupProblem expected;
    } cases[] = {
        {"C:\\Users\\a\\AppData\\Local\\Temp\\Rar$EXa1234.5678\\", true, StartupProblem::InsideArchive},
        {"C:/Users/a/AppData/Local/Temp/Rar$DIa0.1/", false, StartupProblem::InsideArchive},
        {"D:\\Programs\\rar$files\\", true, StartupProblem::None},
        {"D:\\RAR$\\", true, StartupProblem::None},
        {"D:\\TEMP\\app\\", true, StartupProblem::TemporaryFolder},
        {"D:\\app\\Temp\\", true, StartupProblem::TemporaryFolder},
        {"D:\\Temp/app/", true, StartupProblem::TemporaryFolder},
        {"/home/user/temp/app/", true, StartupProblem::TemporaryFolder},
        {"/tmp/app/", true, StartupProblem::TemporaryFolder},
        {"/TMP/app/", true, StartupProblem::TemporaryFolder},
        {"D:\\Temporary\\app\\", true, StartupProblem::None},
        {"D:\\MyTemp\\app\\", true, StartupProblem::None},
        {"/opt/tavrosin/", true, StartupProblem::None},
        {"/opt/tavrosin/", false, StartupProblem::NoTlsLibrary},
        {"D:\\TEMP\\app\\", false, StartupProblem::TemporaryFolder},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.dir);
        SCOPED_TRACE(c.tls);
        EXPECT_EQ(startupProblem(QString::fromUtf8(c.dir), c.tls), c.expected);
    }
    EXPECT_EQ(startupProblem(withTrailingSeparator(QStringLiteral("D:/app/Temp")), true),
              StartupProblem::TemporaryFolder);
    EXPECT_EQ(withTrailingSeparator(QStringLiteral("/opt/x/")), QStringLiteral("/opt/x/"));
    EXPECT_TRUE(tlsLibraryPresent()) << "libcurl here is built on OpenSSL";
}

TEST(StartupChecks, MessageTexts)
{
    const QString crlf = QStringLiteral("\r\n");
    EXPECT_EQ(startupMessage(StartupProblem::None), QString());
    EXPECT_EQ(startupMessage(StartupProblem::InsideArchive),
              QStringLiteral("Вы запустили программу изнутри архива!") + crlf + tail);
    EXPECT_EQ(startupMessage(StartupProblem::TemporaryFolder),
              QStringLiteral("Программа запущена из временной папки!") + crlf +
                  QStringLiteral("Скорее всего, Вы запустили программу изнутри архива.") + crlf + tail);
    EXPECT_EQ(startupMessage(StartupProblem::NoTlsLibrary),
              QStringLiteral("Программа не обнаружила необходимые для работы файлы!") + crlf +
                  QStringLiteral("Вероятно, Вы запустили программу изнутри архива!") + crlf + tail);
}

TEST(IntervalLabel, DatesForAFixedClock)
{
    const QDateTime late(QDate(2026, 8, 10), QTime(23, 30));
    const struct
    {
        const char *name;
        QDateTime now;
        int minDays, maxDays;
        const char *expected;
    } cases[] = {
        {"defaults", late, 30, 35, "Интервал включает 09.09.2026 - 14.09.2026"},
        {"min above max: later date first", late, 35, 30, "Интервал включает 14.09.2026 - 09.09.2026"},
        {"today", late, 0, 0, "Интервал включает 10.08.2026 - 10.08.2026"},
        {"into the past", late, -10, -1, "Интервал включает 31.07.2026 - 09.08.2026"},
        {"over the year's end", QDateTime(QDate(2026, 12, 31), QTime(0, 0)), 1, 366,
         "Интервал включает 01.01.2027 - 01.01.2028"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const IntervalLabel label = intervalLabel(c.now, c.minDays, c.maxDays);
        EXPECT_TRUE(label.ok);
        EXPECT_EQ(label.text, QString::fromUtf8(c.expected));
    }
    for (const int days : {2000000000, -2000000000, 3000000}) {
        SCOPED_TRACE(days);
        const IntervalLabel label = intervalLabel(late, 30, days);
        EXPECT_FALSE(label.ok);
        EXPECT_FALSE(label.error.isEmpty());
    }
}

TEST(Autostart, AllFourConditions)
{
    const QDateTime nine(QDate(2026, 3, 10), QTime(9, 0, 30));
    const QDate yesterday(2026, 3, 9);
    const struct
    {
        const char *name;
        bool ticked;
        QDateTime now;
        const char *time;
        QDate lastRun;
        bool startEnabled;
        bool due;
    } cases[] = {
        {"all hold", true, nine, "09:00", yesterday, true, true},
        {"last second of the minute", true, QDateTime(QDate(2026, 3, 10), QTime(9, 0, 59)), "09:00", yesterday, true,
         true},
        {"first run ever", true, nine, "09:00", QDate(2000, 1, 1), true, true},
        {"not ticked", false, nine, "09:00", yesterday, true, false},
        {"leading blank never matches", true, nine, " 9:00", yesterday, true, false},
        {"no leading zero", true, nine, "9:00", yesterday, true, false},
        {"another minute", true, nine, "09:01", yesterday, true, false},
        {"a minute early", true, QDateTime(QDate(2026, 3, 10), QTime(8, 59, 59)), "09:00", yesterday, true, false},
        {"already ran today", true, nine, "09:00", QDate(2026, 3, 10), true, false},
        {"start disabled", true, nine, "09:00", yesterday, false, false},
        {"empty field", true, nine, "  :  ", yesterday, true, false},
        {"evening", true, QDateTime(QDate(2026, 3, 10), QTime(21, 5)), "21:05", yesterday, true, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(autoStartDue(c.ticked, c.now, QString::fromUtf8(c.time), c.lastRun, c.startEnabled), c.due);
    }
}

TEST(Selection, RestoreIgnoresLetterCaseAndUnknownNames)
{
    QListWidget list;
    list.setSelectionMode(QAbstractItemView::ExtendedSelection);
    const QStringList names = {QStringLiteral("ТР ТС 004/2011"), QStringLiteral("ТР ЕАЭС 036/2016"),
                               QStringLiteral("ТР ТС 010/2011"), QStringLiteral("ТР ТС 004/2011")};
    for (int i = 0; i < names.size(); ++i) {
        auto *item = new QListWidgetItem(names[i], &list);
        item->setData(RegulationIdRole, QString::number(10 + i));
    }
    list.item(2)->setSelected(true);

    RestoreSelection(
        &list, {QStringLiteral("тр тс 004/2011"), QStringLiteral("нет такого"), QStringLiteral("ТР ЕАЭС 036/2016")});
    EXPECT_EQ(selectedTexts(&list), (QStringList{names[0], names[1], names[3]})) << "both equal items, in list order";
    EXPECT_EQ(selectedIds(&list), (QStringList{QStringLiteral("10"), QStringLiteral("11"), QStringLiteral("13")}));

    RestoreSelection(&list, {});
    EXPECT_TRUE(selectedTexts(&list).isEmpty());
}

TEST(TimeMaskEdit, TextKeepsItsBlanks)
{
    QLineEdit edit;
    setUpTimeMaskEdit(&edit);
    EXPECT_EQ(timeMaskEditText(&edit), QStringLiteral("  :  ")) << "an empty field";
    EXPECT_EQ(edit.maxLength(), 5);
    // Every pattern of blanks over the four digit positions comes back as it was set.
    for (int blanks = 0; blanks < 16; ++blanks) {
        QString text = QStringLiteral("12:34");
        const int positions[] = {0, 1, 3, 4};
        for (int b = 0; b < 4; ++b) {
            if (blanks & (1 << b))
                text[positions[b]] = QLatin1Char(' ');
        }
        SCOPED_TRACE(text.toStdString());
        setTimeMaskEditText(&edit, text);
        EXPECT_EQ(timeMaskEditText(&edit), text);
        EXPECT_EQ(edit.displayText(), QString(text).replace(QLatin1Char(' '), QLatin1Char('_')));
    }

    // Typed: the colon is fixed, letters are refused.
    edit.clear();
    edit.setFocus();
    edit.setCursorPosition(0);
    QTest::keyClicks(&edit, QStringLiteral("0a930"));
    EXPECT_EQ(timeMaskEditText(&edit), QStringLiteral("09:30"));
}

TEST(TimeMaskEdit, AcceptsOnlyATimeOfDay)
{
    // Settings values: only "HH:mm" within a day is a time the autostart can meet.
    const struct
    {
        const char *text;
        bool time;
    } values[] = {{"00:00", true}, {"09:00", true}, {"23:59", true}, {"24:00", false}, {"25:99", false},
                  {"09:60", false}, {" 9:00", false}, {"9:00", false}, {"  :  ", false}, {"", false},
                  {"09.00", false}, {"0900", false}, {"09:00 ", false}, {"١٢:٣٠", false}};
    for (const auto &v : values) {
        SCOPED_TRACE(v.text);
        EXPECT_EQ(isTimeOfDay(QString::fromUtf8(v.text)), v.time);
    }

    // Typed into the field, key by key, from the text it held, at a cursor position.
    const struct
    {
        const char *name;
        const char *before;
        int cursor;
        const char *keys;
        const char *after;
    } typed[] = {
        {"a 9 over the 0 of 09:00 is refused", "09:00", 0, "9", "09:00"},
        {"a 2 over the 0 of 09:00 makes 29, refused", "09:00", 0, "2", "09:00"},
        {"a 1 over the 0 of 09:00", "09:00", 0, "1", "19:00"},
        {"25:99 typed whole: 5 and both 9s refused", "  :  ", 0, "2599", "2_:__"},
        {"evening", "  :  ", 0, "2145", "21:45"},
        {"minutes past 59 refused", "10:00", 3, "7", "10:00"},
        {"24 o'clock refused", "20:00", 1, "4", "20:00"},
    };
    for (const auto &t : typed) {
        SCOPED_TRACE(t.name);
        QLineEdit edit;
        setUpTimeMaskEdit(&edit);
        setTimeMaskEditText(&edit, QString::fromUtf8(t.before));
        edit.setFocus();
        edit.setCursorPosition(t.cursor);
        QTest::keyClicks(&edit, QString::fromUtf8(t.keys));
        EXPECT_EQ(edit.displayText(), QString::fromUtf8(t.after));
    }

    // Left unfinished: completed where the blank is a leading zero, else the last whole time.
    const struct
    {
        const char *left;
        const char *settled;
    } unfinished[] = {{" 9:05", "09:05"}, {"07: 5", "07:05"}, {" 9:  ", "08:15"}, {"2 :  ", "08:15"},
                      {"  :  ", "08:15"}, {"1 :3 ", "08:15"}};
    for (const auto &u : unfinished) {
        SCOPED_TRACE(u.left);
        QLineEdit edit;
        setUpTimeMaskEdit(&edit);
        setTimeMaskEditText(&edit, QStringLiteral("08:15")); // the last whole time it held
        setTimeMaskEditText(&edit, QString::fromUtf8(u.left));
        settleTimeMaskEdit(&edit);
        EXPECT_EQ(timeMaskEditText(&edit), QString::fromUtf8(u.settled));
        EXPECT_TRUE(edit.hasAcceptableInput());
    }
}

TEST(IntervalLabel, ReversedDayCountsAreMarkedWithAHint)
{
    const QDateTime now(QDate(2026, 8, 10), QTime(12, 0));
    const struct
    {
        int from;
        int to;
        bool reversed;
    } cases[] = {{30, 35, false}, {35, 35, false}, {36, 35, true}, {0, -1, true}, {-5, 0, false}};
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.from) + ".." + std::to_string(c.to));
        const IntervalLabel label = intervalLabel(now, c.from, c.to);
        EXPECT_TRUE(label.ok);
        EXPECT_EQ(label.reversed, c.reversed);
        EXPECT_EQ(label.hint.isEmpty(), !c.reversed);
    }
    EXPECT_EQ(intervalLabel(now, 36, 35).hint, QStringLiteral("«от» больше, чем «до»: проверьте интервал"));
}

TEST(WindowPlacement, FitsTheScreensAvailableArea)
{
    const QSize minimum = minimumClientSize();
    const QSize design(1215, 853);
    const QMargins none;
    const QMargins framed(8, 31, 8, 8); // a title bar and borders
    const struct
    {
        const char *name;
        QRect available;
        QMargins frame;
        std::optional<QRect> saved;
        QRect expected;
    } cases[] = {
        {"a large screen: the design size, centred", {0, 0, 1920, 1040}, none, std::nullopt, {352, 93, 1215, 853}},
        {"1366 x 768 with a taskbar below: height given up, width kept", {0, 0, 1366, 728}, framed, std::nullopt,
         {75, 31, 1215, 728 - 39}},
        {"1280 x 720 with a taskbar: the minimum still fits", {0, 0, 1280, 680}, framed, std::nullopt,
         {32, 31, 1215, 641}},
        {"a taskbar on the left", {60, 0, 1306, 768}, none, std::nullopt, {60 + 45, 0, 1215, 768}},
        {"saved: size and place kept", {0, 0, 1920, 1040}, framed, QRect(100, 120, 1300, 900),
         {100, 120, 1300, 900}},
        {"saved on a monitor since unplugged: brought back", {0, 0, 1920, 1040}, framed, QRect(2500, 300, 1215, 853),
         {1920 - 8 - 1215, 1040 - 8 - 853, 1215, 853}},
        {"saved above the screen: title bar brought down", {0, 0, 1920, 1040}, framed, QRect(200, -400, 1215, 853),
         {200, 31, 1215, 853}},
        {"saved larger than this screen: shrunk to it", {0, 0, 1366, 728}, none, QRect(0, 0, 1900, 1000),
         {0, 0, 1366, 728}},
        {"saved smaller than the minimum: the minimum", {0, 0, 1920, 1040}, none, QRect(10, 10, 400, 300),
         {10, 10, minimum.width(), minimum.height()}},
        {"saved nonsense: the design, centred", {0, 0, 1920, 1040}, none, QRect(0, 0, -5, 10), {352, 93, 1215, 853}},
        {"a screen smaller than the minimum: top left kept on it", {0, 0, 1024, 540}, framed, std::nullopt,
         {8, 31, minimum.width(), minimum.height()}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const QRect placed = placeWindow(c.available, c.frame, minimum, design, c.saved);
        EXPECT_EQ(placed, c.expected);
        const QRect outer = placed.marginsAdded(c.frame);
        if (outer.width() <= c.available.width() && outer.height() <= c.available.height()) {
            EXPECT_TRUE(c.available.contains(outer)) << "the frame lies within the area";
        }
        EXPECT_TRUE(c.available.contains(outer.topLeft())) << "the title bar can be reached";
    }
    // With its frame and a 40-pixel taskbar, the minimum fits a 1280 x 720 screen.
    EXPECT_LE(minimum.width() + 16, 1280);
    EXPECT_LE(minimum.height() + 39 + 40, 720);
}

TEST(ConnectionFailure, ARussianSentenceForEachKindOfFailure)
{
    const QString host = QStringLiteral("pub.fsa.gov.ru");
    const struct
    {
        CURLcode code;
        const char *sentence;
    } cases[] = {
        {CURLE_OK, ""},
        {CURLE_COULDNT_RESOLVE_HOST,
         "Не удалось найти сервер реестра pub.fsa.gov.ru по имени: нет подключения к интернету или не работает DNS"},
        {CURLE_COULDNT_RESOLVE_PROXY, "Не найден прокси-сервер, указанный в settings.ini, по пути к реестру pub.fsa.gov.ru"},
        {CURLE_COULDNT_CONNECT, "Не удалось подключиться к реестру pub.fsa.gov.ru"},
        {CURLE_OPERATION_TIMEDOUT, "Реестр pub.fsa.gov.ru не ответил вовремя"},
        {CURLE_SSL_CONNECT_ERROR, "Не удалось установить защищённое соединение с реестром pub.fsa.gov.ru"},
        {CURLE_PEER_FAILED_VERIFICATION, "Сертификат реестра pub.fsa.gov.ru не прошёл проверку"},
        {CURLE_SSL_CACERT_BADFILE, "Сертификат реестра pub.fsa.gov.ru не прошёл проверку"},
        {CURLE_GOT_NOTHING, "Реестр pub.fsa.gov.ru закрыл соединение, не ответив"},
        {CURLE_RECV_ERROR, "Реестр pub.fsa.gov.ru закрыл соединение, не ответив"},
        {CURLE_SEND_ERROR, "Соединение с реестром pub.fsa.gov.ru оборвалось при отправке запроса"},
        {CURLE_PARTIAL_FILE, "Ответ реестра pub.fsa.gov.ru пришёл не полностью"},
        {CURLE_URL_MALFORMAT, "Адрес реестра pub.fsa.gov.ru записан неверно (settings.ini, раздел [Network])"},
        {CURLE_TOO_MANY_REDIRECTS, "Реестр pub.fsa.gov.ru перенаправляет запрос слишком много раз"},
        {CURLE_WRITE_ERROR, "Не удалось подключиться к реестру pub.fsa.gov.ru"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(curl_easy_strerror(c.code));
        EXPECT_EQ(connectionFailureSentence(c.code, host), QString::fromUtf8(c.sentence));
    }

    // In the start-up box: the sentence, then libcurl's own text, then what to check.
    LoginResult unresolved;
    unresolved.outcome = LoginResult::Outcome::Failed;
    unresolved.failure = HttpFailure::Resolve;
    unresolved.curlCode = CURLE_COULDNT_RESOLVE_HOST;
    unresolved.error = QStringLiteral("Could not resolve host: pub.fsa.gov.ru");
    EXPECT_EQ(loginFailureMessage(unresolved, host),
              QStringLiteral("Не удалось найти сервер реестра pub.fsa.gov.ru по имени: нет подключения к интернету или "
                             "не работает DNS: Could not resolve host: pub.fsa.gov.ru. Проверьте подключение к "
                             "интернету (или прокси в settings.ini)"));
}

TEST(LoginRecovery, MessagesNameTheCauseThenTheTransportsText)
{
    const auto failed = [](HttpFailure failure, const char *error, int status = 0) {
        LoginResult r;
        r.outcome = LoginResult::Outcome::Failed;
        r.failure = failure;
        r.error = QString::fromUtf8(error);
        r.status = status;
        return r;
    };
    LoginResult refused;
    refused.outcome = LoginResult::Outcome::Refused;
    refused.headers = QStringLiteral("HTTP/1.1 401 Unauthorized\r\nServer: nginx\r\n");
    LoginResult stopped = failed(HttpFailure::Status, "Bad Gateway", 502);
    stopped.outcome = LoginResult::Outcome::LoggedIn;
    stopped.listStoppedEarly = true;
    stopped.failedPage = 3;
    LoginResult notTheList = stopped;
    notTheList.failedPage = 2;
    notTheList.failure = HttpFailure::None;
    notTheList.status = 200;
    notTheList.error = QStringLiteral("ответ не в формате JSON");
    LoginResult loggedIn;
    loggedIn.outcome = LoginResult::Outcome::LoggedIn;
    // The login's own advice replaces the general hint, and stands alone for a refusal.
    LoginResult slow = failed(HttpFailure::Timeout, "Connection timed out after 120000 milliseconds");
    slow.advice = QStringLiteral("Реестр не ответил на подключение. Укажите прокси.");
    LoginResult refusedEverywhere = refused;
    refusedEverywhere.advice = QStringLiteral("Реестр отказал во входе (HTTP 401), в том числе с cookie сеанса.");

    const QString check = QStringLiteral(". Проверьте подключение к интернету (или прокси в settings.ini)");
    const struct
    {
        const char *name;
        LoginResult result;
        QString expected;
    } cases[] = {
        {"name not resolved", failed(HttpFailure::Resolve, "Could not resolve host: pub.fsa.gov.ru"),
         QStringLiteral("Не удалось подключиться к реестру pub.fsa.gov.ru: Could not resolve host: pub.fsa.gov.ru") +
             check},
        {"refused connection, text ending in a full stop", failed(HttpFailure::Connect, "Connection refused."),
         QStringLiteral("Не удалось подключиться к реестру pub.fsa.gov.ru: Connection refused") + check},
        {"closed early", failed(HttpFailure::Closed, "HTTP no status code (connection closed prematurely)"),
         QStringLiteral("Не удалось подключиться к реестру pub.fsa.gov.ru: HTTP no status code (connection closed "
                        "prematurely)") +
             check},
        {"time-out", failed(HttpFailure::Timeout, "Request aborted on timeout", 404),
         QStringLiteral("Реестр pub.fsa.gov.ru не ответил вовремя: Request aborted on timeout") + check},
        {"TLS", failed(HttpFailure::Tls, "SSL certificate problem: self-signed certificate"),
         QStringLiteral("Не удалось установить защищённое соединение с реестром pub.fsa.gov.ru: SSL certificate "
                        "problem: self-signed certificate") +
             check},
        {"status with its reason", failed(HttpFailure::Status, "Service Unavailable", 503),
         QStringLiteral("Реестр pub.fsa.gov.ru ответил ошибкой: HTTP 503 Service Unavailable. Вероятно, сайт реестра "
                        "временно не работает")},
        {"status without a reason", failed(HttpFailure::Status, "HTTP 500", 500),
         QStringLiteral("Реестр pub.fsa.gov.ru ответил ошибкой: HTTP 500. Вероятно, сайт реестра временно не работает")},
        {"refused login", refused, QStringLiteral("Реестр pub.fsa.gov.ru отказал во входе: HTTP/1.1 401 Unauthorized")},
        {"list stopped early", stopped,
         QStringLiteral("Список регламентов загружен не полностью: страница 3 не загрузилась. Реестр pub.fsa.gov.ru "
                        "ответил ошибкой: HTTP 502 Bad Gateway. Вероятно, сайт реестра временно не работает")},
        {"a list page answered with something else", notTheList,
         QStringLiteral("Список регламентов загружен не полностью: страница 2 не загрузилась. Реестр pub.fsa.gov.ru "
                        "прислал не страницу списка регламентов: ответ не в формате JSON. Вероятно, сайт реестра "
                        "временно не работает")},
        {"logged in", loggedIn, QString()},
        {"time-out with the login's advice", slow,
         QStringLiteral("Реестр pub.fsa.gov.ru не ответил вовремя: Connection timed out after 120000 milliseconds. "
                        "Реестр не ответил на подключение. Укажите прокси")},
        {"refused with the login's advice", refusedEverywhere,
         QStringLiteral("Реестр отказал во входе (HTTP 401), в том числе с cookie сеанса")},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(loginFailureMessage(c.result, QStringLiteral("pub.fsa.gov.ru")), c.expected);
    }

    EXPECT_EQ(registryHostName(QStringLiteral("https://pub.fsa.gov.ru")), QStringLiteral("pub.fsa.gov.ru"));
    EXPECT_EQ(registryHostName(QStringLiteral("https://127.0.0.1:8443")), QStringLiteral("127.0.0.1:8443"));
}

TEST(LoginRecovery, OneBoxForTheFirstFailureThenALineForEveryTry)
{
    LoginResult down;
    down.outcome = LoginResult::Outcome::Failed;
    down.failure = HttpFailure::Connect;
    down.error = QStringLiteral("Couldn't connect to server");
    LoginResult refused;
    refused.outcome = LoginResult::Outcome::Refused;
    LoginResult partial;
    partial.outcome = LoginResult::Outcome::LoggedIn;
    partial.listStoppedEarly = true;
    LoginResult whole;
    whole.outcome = LoginResult::Outcome::LoggedIn;
    const QDateTime now(QDate(2026, 5, 4), QTime(23, 58, 10));

    struct Try
    {
        LoginResult result;
        bool box;
    };
    const struct
    {
        const char *name;
        QList<Try> tries;
    } cases[] = {
        {"down, down, up", {{down, true}, {down, false}, {whole, false}}},
        {"refused first: no box then or later", {{refused, false}, {down, false}, {whole, false}}},
        {"partial list, then down", {{partial, true}, {down, false}, {partial, false}, {whole, false}}},
        {"up at once", {{whole, false}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        LoginRecovery recovery;
        EXPECT_EQ(recovery.retryMs(), 5 * 60 * 1000);
        for (qsizetype i = 0; i < c.tries.size(); ++i) {
            SCOPED_TRACE(i);
            const Try &t = c.tries[i];
            const LoginTryOutcome step = recovery.afterTry(t.result, QStringLiteral("pub.fsa.gov.ru"), now);
            const bool last = i == c.tries.size() - 1;
            EXPECT_EQ(step.succeeded, last);
            EXPECT_EQ(step.retry, !last);
            EXPECT_EQ(!step.boxText.isEmpty(), t.box);
            if (last) {
                EXPECT_TRUE(step.logLine.isEmpty());
                continue;
            }
            const QString message = loginFailureMessage(t.result, QStringLiteral("pub.fsa.gov.ru"));
            EXPECT_EQ(step.logLine, message + QStringLiteral(". Следующая попытка в 00:03:10"));
            if (t.box) {
                EXPECT_EQ(step.boxText,
                          message + QStringLiteral("\r\nПрограмма будет повторять попытку, пока не получится."));
            }
        }
        EXPECT_EQ(recovery.tries(), c.tries.size());
    }
}
