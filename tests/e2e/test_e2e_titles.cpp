// The titles that the X server shows for the real program's windows: the main window and its
// message boxes read exactly "Тавросин" and "Внимание!", with nothing appended by the window system
// (Qt appends an application display name to every title it sends to X11 once one is set). Runs
// the built tavrosin, copied to a folder of its own, on an Xvfb of its own and reads the titles
// back with xwininfo and xprop; skipped where those tools are missing.

#include "startupchecks.h"
#include "testfiles.h"
#include "qtprinters.h"
#include "xscreen.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <optional>

namespace {

using namespace xscreen;

// The names (_NET_WM_NAME, as UTF-8) of the top-level windows on the screen. Without a window
// manager the program's windows are the root's own children; Qt's hidden helper windows are not
// mapped.
QStringList windowTitles(const QString &display)
{
    static const QRegularExpression id(QStringLiteral("^\\s+(0x[0-9a-f]+)"), QRegularExpression::MultilineOption);
    static const QRegularExpression name(QStringLiteral("_NET_WM_NAME\\(UTF8_STRING\\) = \"(.*)\"$"));
    QStringList titles;
    const QString tree = runTool(display, tool("xwininfo"), {QStringLiteral("-root"), QStringLiteral("-children")});
    for (auto it = id.globalMatch(tree); it.hasNext();) {
        const QString window = it.next().captured(1);
        if (!runTool(display, tool("xwininfo"), {QStringLiteral("-id"), window}).contains(u"Map State: IsViewable"))
            continue;
        const QString property =
            runTool(display, tool("xprop"), {QStringLiteral("-id"), window, QStringLiteral("_NET_WM_NAME")}).trimmed();
        const QRegularExpressionMatch m = name.match(property);
        if (m.hasMatch())
            titles.append(m.captured(1));
    }
    titles.sort();
    return titles;
}

class Titles : public ::testing::Test
{
protected:
    void SetUp() override
    {
        for (const char *name : {"Xvfb", "xwininfo", "xprop"}) {
            if (tool(name).isEmpty())
                GTEST_SKIP() << name << " is not installed (scripts/setup installs xvfb and x11-utils)";
        }
        // One server for the suite: an X server started right after another has ended on the same
        // display number was seen to refuse the program's first connection.
        if (!screen) {
            screen = std::make_unique<VirtualScreen>();
            QString error;
            ASSERT_TRUE(screen->start(QStringLiteral("1280x1024"), &error)) << error.toStdString();
        }
    }

    static void TearDownTestSuite() { screen.reset(); }

    void TearDown() override
    {
        if (program.state() != QProcess::NotRunning) {
            program.kill();
            program.waitForFinished();
        }
        // The next test shares the server: it starts on a screen with none of these windows left.
        if (screen)
            (void)QTest::qWaitFor([] { return windowTitles(screen->display()).isEmpty(); }, 10000);
    }

    // Starts the copy in dir (a copy in a folder of its own keeps its files there).
    void startProgram(const QString &dir)
    {
        program.setProcessEnvironment(environmentFor(screen->display()));
        program.setWorkingDirectory(dir);
        program.start(QDir(dir).filePath(QStringLiteral("tavrosin")), {});
        ASSERT_TRUE(program.waitForStarted(30000)) << program.errorString().toStdString();
    }

    // Every title the X server shows once `done` holds for them (or the program has ended).
    QStringList titlesOnceThey(const std::function<bool(const QStringList &)> &done)
    {
        QStringList titles;
        (void)QTest::qWaitFor(
            [&] {
                titles = windowTitles(screen->display());
                return done(titles) || program.state() == QProcess::NotRunning;
            },
            60000);
        return titles;
    }

    // What the program said, for a failure message: nothing while it runs, its end and stderr after.
    std::string howItEnded()
    {
        if (program.state() != QProcess::NotRunning)
            return {};
        return "; the program ended with exit code " + std::to_string(program.exitCode()) + ", stderr: " +
               program.readAllStandardError().toStdString();
    }

    static inline std::unique_ptr<VirtualScreen> screen;
    QProcess program;
};

} // namespace

// A start-up check that fails (a copy under /tmp): the box titled "Внимание!" beside the window.
TEST_F(Titles, StartupCheckBoxReadsExactlyВнимание)
{
    QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/tavrosin-titles-XXXXXX"));
    ASSERT_TRUE(dir.isValid());
    ASSERT_TRUE(copyProgram(dir.path()));
    startProgram(dir.path());
    const QStringList titles =
        titlesOnceThey([](const QStringList &t) { return t.contains(QStringLiteral("Внимание!")); });
    EXPECT_TRUE(titles.contains(QStringLiteral("Внимание!"))) << titles.join(u" | ").toStdString() << howItEnded();
    // The window itself may not be on the screen yet behind the box; if it is, as it is named.
    for (const QString &title : titles)
        EXPECT_TRUE(title == u"Внимание!" || title == u"Тавросин") << title.toStdString();
}

// The registry unreachable: the box of the failed login is titled "Тавросин", as the window is.
TEST_F(Titles, LoginFailureBoxReadsExactlyТавросин)
{
    // Beside the build, so the start-up checks pass; a build under a temporary folder cannot show it.
    QTemporaryDir dir(QStringLiteral(TAVROSIN_BINARY_DIR "/titles-XXXXXX"));
    ASSERT_TRUE(dir.isValid());
    if (startupProblem(withTrailingSeparator(dir.path()), true) != StartupProblem::None)
        GTEST_SKIP() << "the build folder " << TAVROSIN_BINARY_DIR << " does not pass the start-up checks";
    ASSERT_TRUE(copyProgram(dir.path()));
    writeBytes(QDir(dir.path()).filePath(QStringLiteral("settings.ini")),
               "[Network]\r\nRegistryUrl=https://127.0.0.1:1\r\nBotApiUrl=https://127.0.0.1:1\r\n");
    // The window and, a second later, the box of the failed login.
    startProgram(dir.path());
    const QStringList titles = titlesOnceThey([](const QStringList &t) { return t.size() >= 2; });
    EXPECT_EQ(titles, (QStringList{QStringLiteral("Тавросин"), QStringLiteral("Тавросин")})) << howItEnded();
}
