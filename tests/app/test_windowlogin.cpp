// The start-up login as the window carries it out: on a thread of its own against a loopback
// HTTPS registry, its entries and items arriving in the window, and what each outcome leaves.
#include "httpsserver.h"
#include "selection.h"
#include "windowtest.h"

#include <QApplication>
#include <QPushButton>
#include <atomic>
#include <mutex>

namespace {

SimReply jsonReply(const QByteArray &body)
{
    SimReply r;
    r.body = body;
    r.headers = {{"Content-Type", "application/json"}};
    return r;
}

// /login and the regulation pages (three regulations on one page).
struct Registry
{
    std::mutex mutex;
    bool refuse = false;
    std::function<void()> onPage; // called on the server's thread when a page is asked for
    bool stallPages = false;

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
            return jsonReply(R"({"items":[{"id":12,"displayName":"ТР ТС 004/2011"},)"
                             R"({"id":13,"displayName":"ТР ЕАЭС 036/2016"},)"
                             R"({"id":"14","displayName":"ТР ТС 010/2011"}],"total":3})");
        }
        SimReply r;
        r.status = 404;
        r.reason = "Not Found";
        return r;
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

TEST_F(WindowLogin, RefusedLoginLeavesStartDisabled)
{
    registry.refuse = true;
    writeSettingsFile(dir.path(), server.baseUrl());
    writeBytes(file("selection.txt"), "ТР ТС 004/2011\r\n");
    TMainForm form(windowOptions(dir.path(), record));
    showWithoutLogin(form);
    form.Timer1Timer();

    EXPECT_TRUE(record.errors.isEmpty());
    EXPECT_FALSE(form.StartButton->isEnabled());
    EXPECT_EQ(form.CitiesListBox->count(), 0);
    EXPECT_TRUE(form.session()->authorizationText().isEmpty());
    const QStringList lines = logLines(form);
    ASSERT_GE(lines.size(), 2);
    EXPECT_EQ(lines[0], QStringLiteral("Подключаемся к сайту"));
    // A 401 is tried again with the session cookie and the other password before it counts as refused.
    const QStringList refused = lines.filter(QStringLiteral("Не удалось подключиться:HTTP/1."));
    ASSERT_EQ(refused.size(), 1);
    EXPECT_TRUE(refused[0].startsWith(QStringLiteral("Не удалось подключиться:HTTP/1.")));
    EXPECT_TRUE(refused[0].contains(QStringLiteral("401")));
    EXPECT_TRUE(lines.contains(QStringLiteral("Server: nginx")));
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);

    // The list was never filled: the selection file stays as it was.
    ASSERT_TRUE(form.close());
    EXPECT_EQ(readBytes(file("selection.txt")), QByteArray("ТР ТС 004/2011\r\n"));
}

TEST_F(WindowLogin, FailedLoginShowsTheErrorAndLogsNothingMore)
{
    writeSettingsFile(dir.path(), closedRegistryUrl());
    TMainForm form(windowOptions(dir.path(), record));
    showWithoutLogin(form);
    form.Timer1Timer();

    ASSERT_EQ(record.errors.size(), 1);
    EXPECT_FALSE(record.errors[0].isEmpty());
    EXPECT_EQ(logLines(form), QStringList{QStringLiteral("Подключаемся к сайту")});
    EXPECT_FALSE(form.StartButton->isEnabled());
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
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
