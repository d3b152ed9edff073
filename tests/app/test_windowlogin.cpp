// The start-up login as the window carries it out: on a thread of its own against a loopback
// HTTPS registry, its entries and items arriving in the window, and what each outcome leaves.
#include "httpsserver.h"
#include "selection.h"
#include "windowtest.h"

#include <QApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QPushButton>
#include <atomic>
#include <mutex>

using namespace Qt::StringLiterals;

namespace {

SimReply jsonReply(const QByteArray &body)
{
    SimReply r;
    r.body = body;
    r.headers = {{"Content-Type", "application/json"}};
    return r;
}

// /login and the regulation pages, 50 to a page. By default three regulations on one page;
// `failures` holds, per page offset, how many more times that page answers 503.
struct Registry
{
    std::mutex mutex;
    bool refuse = false;
    std::function<void()> onPage; // called on the server's thread when a page is asked for
    bool stallPages = false;
    QList<std::pair<int, QString>> regulations = {
        {12, QStringLiteral("ТР ТС 004/2011")}, {13, QStringLiteral("ТР ЕАЭС 036/2016")}, {14, QStringLiteral("ТР ТС 010/2011")}};
    QMap<int, int> failures;
    QMap<int, int> htmlPages; // per page offset, how many more times that page answers 200 with HTML

    SimReply handle(const RecordedRequest &request)
    {
        std::lock_guard lock(mutex);
        if (request.target == "/login") {
            SimReply r;
            if (refuse) {
                r.status = 401;
                r.reason = "Unauthorized";
                r.headers = {{"Server", "nginx"}};
                return r;
            }
            r.headers = {{"Authorization", "Bearer window-token"}};
            return r;
        }
        if (request.target == "/nsi/api/dicNormDoc/get") {
            if (onPage)
                onPage();
            if (stallPages) {
                SimReply r;
                r.stall = true;
                r.stallMs = 60000;
                return r;
            }
            const int offset = QJsonDocument::fromJson(request.body).object().value(u"offset").toInt();
            if (failures.value(offset) > 0) {
                --failures[offset];
                SimReply r;
                r.status = 503;
                r.reason = "Service Unavailable";
                return r;
            }
            if (htmlPages.value(offset) > 0) {
                --htmlPages[offset];
                SimReply r;
                r.body = "<!DOCTYPE html><html><body>Технические работы</body></html>";
                r.headers = {{"Content-Type", "text/html; charset=utf-8"}};
                return r;
            }
            QJsonArray items;
            for (const auto &[id, name] : regulations.mid(offset, 50))
                items.append(QJsonObject{{u"id"_s, id}, {u"displayName"_s, name}});
            return jsonReply(QJsonDocument(QJsonObject{{u"items"_s, items}}).toJson(QJsonDocument::Compact));
        }
        SimReply r;
        r.status = 404;
        r.reason = "Not Found";
        return r;
    }

    // Regulations "ТР <n>" with ids 100 + n.
    void makeRegulations(int count)
    {
        std::lock_guard lock(mutex);
        regulations.clear();
        for (int n = 0; n < count; ++n)
            regulations.append({100 + n, u"ТР "_s + QString::number(n)});
    }
};

class WindowLogin : public ::testing::Test
{
protected:
    void SetUp() override
    {
        QString error;
        ASSERT_TRUE(server.start(0, &error)) << error.toStdString();
        ASSERT_TRUE(dir.isValid());
    }

    QString file(const char *name) const { return QDir(dir.path()).filePath(QString::fromLatin1(name)); }

    Registry registry;
    HttpsServer server{[this](const RecordedRequest &r) { return registry.handle(r); }};
    QTemporaryDir dir;
    WindowRecord record;
};

} // namespace

TEST_F(WindowLogin, FillsTheListAndRestoresTheSelection)
{
    writeSettingsFile(dir.path(), server.baseUrl());
    writeBytes(file("selection.txt"), "тр тс 010/2011\r\nнет такого\r\nТР ТС 004/2011\r\n");
    MainFormOptions options = windowOptions(dir.path(), record);
    const QDateTime clock(QDate(2026, 5, 4), QTime(10, 0));
    options.now = [clock] { return clock; };
    TMainForm form(options);
    showWithoutLogin(form);

    form.Timer1Timer();

    EXPECT_TRUE(record.errors.isEmpty());
    EXPECT_EQ(QApplication::overrideCursor(), nullptr) << "busy cursor restored";
    const QStringList lines = unstampedLines(form);
    EXPECT_EQ(lines,
              (QStringList{QStringLiteral("Подключаемся к сайту"), QStringLiteral("Загружаем список регламентов"),
                           QStringLiteral("<stamp>: Загружаем страницу 1"), QStringLiteral("Всё готово к работе")}));

    ASSERT_EQ(form.CitiesListBox->count(), 3);
    const QStringList names = {QStringLiteral("ТР ТС 004/2011"), QStringLiteral("ТР ЕАЭС 036/2016"),
                               QStringLiteral("ТР ТС 010/2011")};
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(form.CitiesListBox->item(i)->text(), names[i]);
        EXPECT_EQ(form.CitiesListBox->item(i)->data(RegulationIdRole).toString(), QString::number(12 + i));
    }
    EXPECT_EQ(form.host()->selectedRegulationIds(), (QStringList{QStringLiteral("12"), QStringLiteral("14")}));
    EXPECT_TRUE(form.StartButton->isEnabled());
    EXPECT_EQ(form.session()->authorizationText(), QStringLiteral("Bearer window-token"));
    EXPECT_EQ(form.session()->authorizedAt(), clock);
    EXPECT_EQ(form.session()->regulationIds(),
              (QStringList{QStringLiteral("12=ТР ТС 004/2011"), QStringLiteral("13=ТР ЕАЭС 036/2016"),
                           QStringLiteral("14=ТР ТС 010/2011")}));

    // Closing writes the selected items' own texts.
    form.CitiesListBox->item(1)->setSelected(true);
    ASSERT_TRUE(form.close());
    EXPECT_EQ(readBytes(file("selection.txt")),
              (names.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n")).toLocal8Bit());
}

// selection.txt cannot be replaced at close (a folder of that name is in the way): a box names it
// and the reason before the window goes.
TEST_F(WindowLogin, ASelectionFileThatCannotBeWrittenIsNamedInABoxAtClose)
{
    writeSettingsFile(dir.path(), server.baseUrl());
    TMainForm form(windowOptions(dir.path(), record));
    showWithoutLogin(form);
    form.Timer1Timer();
    ASSERT_TRUE(form.StartButton->isEnabled());
    ASSERT_TRUE(QDir().mkpath(file("selection.txt")));
    form.CitiesListBox->item(0)->setSelected(true);

    ASSERT_TRUE(form.close());
    ASSERT_EQ(record.errors.size(), 1);
    EXPECT_TRUE(record.errors[0].startsWith(u"Не удалось записать "_s + QDir::toNativeSeparators(file("selection.txt")) +
                                            u": "_s))
        << record.errors[0].toStdString();
    EXPECT_TRUE(readBytes(file("settings.ini")).contains("MinDays=30\r\n")) << "settings.ini still written";
}

TEST_F(WindowLogin, NoSelectionFileSelectsNothing)
{
    writeSettingsFile(dir.path(), server.baseUrl());
    TMainForm form(windowOptions(dir.path(), record));
    showWithoutLogin(form);
    form.Timer1Timer();
    EXPECT_EQ(form.CitiesListBox->count(), 3);
    EXPECT_TRUE(form.CitiesListBox->selectedItems().isEmpty());
    EXPECT_TRUE(form.StartButton->isEnabled());

    ASSERT_TRUE(form.close());
    EXPECT_TRUE(readBytes(file("selection.txt")).isEmpty());
    EXPECT_TRUE(QFile::exists(file("selection.txt"))) << "nothing selected: an empty file";
}

// A login that fails outright shows one box, then is tried again quietly until it succeeds: one
// log line per failed try, no further box, and the list, the selection and the start control of
// a normal start once the registry answers.
TEST_F(WindowLogin, FailedLoginShowsOneBoxThenTriesAgainUntilItSucceeds)
{
    const QString url = server.baseUrl();
    const quint16 port = server.port();
    server.stop(); // the registry is down at start
    writeSettingsFile(dir.path(), url);
    writeBytes(file("selection.txt"), "ТР ТС 010/2011\r\n");
    MainFormOptions options = windowOptions(dir.path(), record);
    options.now = [] { return QDateTime(QDate(2026, 5, 4), QTime(7, 58, 30)); };
    options.loginRetryMs = 600000; // the test makes each retry itself
    // A box nobody dismisses (a program started at logon) must not hold the retries back.
    TMainForm *shown = nullptr;
    bool armedBeforeTheBox = false;
    options.showError = [&](const QString &text) {
        record.errors.append(text);
        armedBeforeTheBox = shown && shown->LoginRetryTimer->isActive();
    };
    TMainForm form(options);
    shown = &form;
    showWithoutLogin(form);
    form.Timer1Timer();
    EXPECT_TRUE(armedBeforeTheBox);

    const QString host = u"127.0.0.1:"_s + QString::number(port);
    ASSERT_EQ(record.errors.size(), 1);
    const QString prefix = u"Не удалось подключиться к реестру "_s + host + u": "_s;
    const QString advice = u". Проверьте подключение к интернету (или прокси в settings.ini)"_s;
    const QString &box = record.errors[0];
    EXPECT_TRUE(box.startsWith(prefix)) << box.toStdString();
    EXPECT_TRUE(box.endsWith(advice + u"\r\nПрограмма будет повторять попытку, пока не получится."_s))
        << box.toStdString();
    EXPECT_GT(box.indexOf(advice), prefix.size()) << "the transport's own text between";
    const QString failure = box.left(box.indexOf(u"\r\n"_s));
    EXPECT_EQ(unstampedLines(form),
              (QStringList{u"Подключаемся к сайту"_s, u"<stamp>: "_s + failure + u". Следующая попытка в 08:08:30"_s}));
    EXPECT_FALSE(form.StartButton->isEnabled());
    EXPECT_TRUE(form.LoginRetryTimer->isActive());
    EXPECT_EQ(form.LoginRetryTimer->interval(), 600000);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);

    // Still down: one more line, no box.
    form.LoginRetryTimerTimer();
    EXPECT_EQ(record.errors.size(), 1);
    EXPECT_EQ(unstampedLines(form).size(), 3);
    EXPECT_EQ(unstampedLines(form).last(), u"<stamp>: "_s + failure + u". Следующая попытка в 08:08:30"_s);
    EXPECT_FALSE(form.StartButton->isEnabled());
    EXPECT_EQ(form.CitiesListBox->count(), 0);

    // Up again: the login's own lines, the list, the saved selection and the start control.
    QString error;
    ASSERT_TRUE(server.start(port, &error)) << error.toStdString();
    form.LoginRetryTimerTimer();
    EXPECT_EQ(record.errors.size(), 1);
    EXPECT_EQ(unstampedLines(form).mid(3),
              (QStringList{u"Подключаемся к сайту"_s, u"Загружаем список регламентов"_s,
                           u"<stamp>: Загружаем страницу 1"_s, u"Всё готово к работе"_s}));
    EXPECT_TRUE(form.StartButton->isEnabled());
    EXPECT_FALSE(form.LoginRetryTimer->isActive());
    ASSERT_EQ(form.CitiesListBox->count(), 3);
    EXPECT_EQ(form.host()->selectedRegulationIds(), QStringList{u"14"_s});
    EXPECT_EQ(form.session()->authorizationText(), u"Bearer window-token"_s);
    EXPECT_EQ(form.session()->regulationIds().size(), 3);

    // A stray tick after success logs in no more.
    const qsizetype requests = server.requests().size();
    form.LoginRetryTimerTimer();
    EXPECT_EQ(server.requests().size(), requests);
}

// A refused login keeps the log entry it always had, gets no box, and is tried again too.
TEST_F(WindowLogin, RefusedLoginIsTriedAgainWithoutABox)
{
    registry.refuse = true;
    writeSettingsFile(dir.path(), server.baseUrl());
    writeBytes(file("selection.txt"), "ТР ТС 004/2011\r\n");
    MainFormOptions options = windowOptions(dir.path(), record);
    options.loginRetryMs = 600000;
    TMainForm form(options);
    showWithoutLogin(form);
    form.Timer1Timer();

    EXPECT_TRUE(record.errors.isEmpty());
    EXPECT_FALSE(form.StartButton->isEnabled());
    EXPECT_EQ(form.CitiesListBox->count(), 0);
    EXPECT_TRUE(form.session()->authorizationText().isEmpty());
    const QStringList lines = unstampedLines(form);
    ASSERT_GE(lines.size(), 3);
    EXPECT_EQ(lines[0], u"Подключаемся к сайту"_s);
    // A 401 is tried again with the session cookie and the other password before it counts as refused.
    const QStringList refused = lines.filter(u"Не удалось подключиться:HTTP/1."_s);
    ASSERT_EQ(refused.size(), 1);
    EXPECT_TRUE(refused[0].startsWith(u"Не удалось подключиться:HTTP/1."_s));
    EXPECT_TRUE(refused[0].contains(u"401"_s));
    EXPECT_TRUE(lines.contains(u"Server: nginx"_s));
    // The try's line says what the login tried and which proxy to set, then when the next try comes.
    EXPECT_TRUE(lines.last().startsWith(u"<stamp>: Реестр отказал во входе (HTTP 401)"_s)) << lines.last().toStdString();
    EXPECT_TRUE(lines.last().contains(u"Proxy"_s)) << lines.last().toStdString();
    // The declarations page set no cookie here, so none was tried and none is named.
    EXPECT_FALSE(lines.last().contains(u"cookie"_s)) << lines.last().toStdString();
    EXPECT_TRUE(lines.last().contains(u". Следующая попытка в "_s)) << lines.last().toStdString();
    EXPECT_TRUE(form.LoginRetryTimer->isActive());
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);

    // The list was never filled: closing now leaves the selection file as it was.
    {
        WindowRecord other;
        TMainForm closing(windowOptions(dir.path(), other));
        showWithoutLogin(closing);
        ASSERT_TRUE(closing.close());
        EXPECT_EQ(readBytes(file("selection.txt")), QByteArray("ТР ТС 004/2011\r\n"));
    }

    registry.refuse = false;
    form.LoginRetryTimerTimer();
    EXPECT_TRUE(record.errors.isEmpty());
    EXPECT_TRUE(form.StartButton->isEnabled());
    EXPECT_EQ(form.host()->selectedRegulationIds(), QStringList{u"12"_s});
}

// A page that fails all its attempts leaves a partial list: the start stays off, the box and the
// retries follow as for a failed login. Closing then keeps the saved names the list could not
// show; a retry that loads the list whole shows and selects them.
TEST_F(WindowLogin, PartialListKeepsTheSelectionItCannotShowAndIsTriedAgain)
{
    registry.makeRegulations(70);
    registry.failures[50] = 2; // page 2 fails both its attempts
    writeSettingsFile(dir.path(), server.baseUrl());
    // "ТР 3" is on page 1, "тр 60" on page 2, "ТР 999" nowhere.
    writeBytes(file("selection.txt"), "ТР 3\r\nтр 60\r\nТР 999\r\n");
    MainFormOptions options = windowOptions(dir.path(), record);
    options.login.pageAttempts = 2;
    options.loginRetryMs = 600000;

    for (const bool closeWhilePartial : {true, false}) {
        SCOPED_TRACE(closeWhilePartial ? "closed while partial" : "loaded whole by a retry");
        record = {};
        registry.failures[50] = 2;
        writeBytes(file("selection.txt"), "ТР 3\r\nтр 60\r\nТР 999\r\n");
        TMainForm form(options);
        showWithoutLogin(form);
        form.Timer1Timer();

        ASSERT_EQ(record.errors.size(), 1);
        EXPECT_TRUE(record.errors[0].startsWith(
            u"Список регламентов загружен не полностью: страница 2 не загрузилась. Реестр 127.0.0.1:"_s))
            << record.errors[0].toStdString();
        EXPECT_TRUE(record.errors[0].contains(u"ответил ошибкой: HTTP 503 Service Unavailable. "_s));
        EXPECT_FALSE(unstampedLines(form).contains(u"Всё готово к работе"_s));
        EXPECT_FALSE(form.StartButton->isEnabled());
        EXPECT_TRUE(form.LoginRetryTimer->isActive());
        ASSERT_EQ(form.CitiesListBox->count(), 50);
        EXPECT_EQ(form.host()->selectedRegulationIds(), QStringList{u"103"_s});
        form.CitiesListBox->item(7)->setSelected(true); // the user adds "ТР 7"

        if (closeWhilePartial) {
            ASSERT_TRUE(form.close());
            EXPECT_FALSE(form.LoginRetryTimer->isActive());
            EXPECT_EQ(readBytes(file("selection.txt")), QByteArray("ТР 3\r\nТР 7\r\nтр 60\r\nТР 999\r\n"));
            continue;
        }
        form.LoginRetryTimerTimer();
        EXPECT_EQ(record.errors.size(), 1);
        EXPECT_TRUE(form.StartButton->isEnabled());
        ASSERT_EQ(form.CitiesListBox->count(), 70);
        EXPECT_EQ(form.host()->selectedRegulationIds(), (QStringList{u"103"_s, u"107"_s, u"160"_s}));
        EXPECT_EQ(unstampedLines(form).last(), u"Всё готово к работе"_s);
        // Whole now: the names no item has are dropped, as they always were.
        ASSERT_TRUE(form.close());
        EXPECT_EQ(readBytes(file("selection.txt")), QByteArray("ТР 3\r\nТР 7\r\nТР 60\r\n"));
    }
}

// A regulation page answered 200 with an HTML page is a failed attempt of that page: once, the page
// is asked for again and the start comes on with the whole list; every attempt, the start stays off
// and the step is tried again later, a line each time and no box after the first.
TEST_F(WindowLogin, ARegulationPageAnsweredWithHtmlIsNoEndOfTheList)
{
    registry.makeRegulations(70);
    writeSettingsFile(dir.path(), server.baseUrl());
    writeBytes(file("selection.txt"), "ТР 60\r\n"); // on page 2
    MainFormOptions options = windowOptions(dir.path(), record);
    options.login.pageAttempts = 2;
    options.loginRetryMs = 600000;

    {
        SCOPED_TRACE("once");
        registry.htmlPages[50] = 1;
        TMainForm form(options);
        showWithoutLogin(form);
        form.Timer1Timer();
        EXPECT_TRUE(record.errors.isEmpty());
        EXPECT_TRUE(form.StartButton->isEnabled());
        EXPECT_FALSE(form.LoginRetryTimer->isActive());
        EXPECT_EQ(form.CitiesListBox->count(), 70);
        EXPECT_EQ(form.host()->selectedRegulationIds(), QStringList{u"160"_s});
        EXPECT_EQ(unstampedLines(form).filter(u"не страница списка регламентов"_s).size(), 1);
    }

    SCOPED_TRACE("every attempt");
    record = {};
    registry.htmlPages[50] = 4; // both attempts of the first try and of the first retry
    TMainForm form(options);
    showWithoutLogin(form);
    form.Timer1Timer();
    const QString failure = u"Список регламентов загружен не полностью: страница 2 не загрузилась. Реестр "_s +
                            registryHostName(server.baseUrl()) +
                            u" прислал не страницу списка регламентов: ответ не в формате JSON. Вероятно, сайт "
                            u"реестра временно не работает"_s;
    ASSERT_EQ(record.errors.size(), 1);
    EXPECT_TRUE(record.errors[0].startsWith(failure)) << record.errors[0].toStdString();
    EXPECT_FALSE(form.StartButton->isEnabled());
    EXPECT_TRUE(form.LoginRetryTimer->isActive());
    EXPECT_EQ(form.CitiesListBox->count(), 50);
    EXPECT_FALSE(unstampedLines(form).contains(u"Всё готово к работе"_s));
    const auto tryLines = [&] {
        return unstampedLines(form).filter(u"<stamp>: "_s + failure + u". Следующая попытка в "_s).size();
    };
    EXPECT_EQ(tryLines(), 1);

    form.LoginRetryTimerTimer();
    EXPECT_EQ(record.errors.size(), 1) << "no box after the first";
    EXPECT_EQ(tryLines(), 2);
    EXPECT_FALSE(form.StartButton->isEnabled());
    EXPECT_TRUE(form.LoginRetryTimer->isActive());

    form.LoginRetryTimerTimer();
    EXPECT_TRUE(form.StartButton->isEnabled());
    EXPECT_EQ(form.CitiesListBox->count(), 70);
    EXPECT_EQ(form.host()->selectedRegulationIds(), QStringList{u"160"_s});
    EXPECT_EQ(form.session()->regulationIds().size(), 70);
}

TEST_F(WindowLogin, TimerRunsTheLoginOnce)
{
    writeSettingsFile(dir.path(), server.baseUrl());
    TMainForm form(windowOptions(dir.path(), record));
    form.show();
    ASSERT_TRUE(waitUntil([&] { return form.StartButton->isEnabled(); }));
    EXPECT_FALSE(form.Timer1->isActive());
    form.Timer1Timer(); // a stray second tick does not log in again
    int logins = 0;
    for (const RecordedRequest &r : server.requests())
        logins += r.target == "/login" ? 1 : 0;
    EXPECT_EQ(logins, 1);
    EXPECT_EQ(form.CitiesListBox->count(), 3);
}

TEST_F(WindowLogin, ClosingDuringTheLoginStopsItAndWaits)
{
    writeSettingsFile(dir.path(), server.baseUrl());
    writeBytes(file("selection.txt"), "ТР ТС 004/2011\r\n");
    TMainForm form(windowOptions(dir.path(), record));
    showWithoutLogin(form);

    // The close arrives while the login waits for its first page, which never comes.
    std::atomic<int> closeAnswer{-1};
    registry.stallPages = true;
    registry.onPage = [&] {
        QMetaObject::invokeMethod(
            &form, [&] { closeAnswer = form.close() ? 1 : 0; }, Qt::QueuedConnection);
    };
    form.Timer1Timer();

    EXPECT_EQ(closeAnswer.load(), 0) << "refused while the login was going";
    EXPECT_FALSE(form.isVisible()) << "closed once the login had stopped";
    EXPECT_FALSE(form.StartButton->isEnabled());
    EXPECT_TRUE(record.errors.isEmpty());
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    EXPECT_EQ(readBytes(file("selection.txt")), QByteArray("ТР ТС 004/2011\r\n"));
    EXPECT_TRUE(readBytes(file("settings.ini")).contains("MinDays=30\r\n"));
}
