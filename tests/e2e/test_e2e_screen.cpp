// The window on the screens of ordinary office laptops: the built tavrosin, copied to a folder of
// its own, runs on an Xvfb of 1366 × 768 and of 1280 × 720, logs in to the registry double and
// loads its list; then the frame that the X server holds for the window must lie wholly on the
// screen, so every control can be reached. A place saved on a larger monitor is brought back onto
// the small screen. Skipped where Xvfb or xwininfo is missing.

#include "e2e.h"
#include "startupchecks.h"
#include "xscreen.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>
#include <gtest/gtest.h>
#include <optional>

using namespace e2e;
using Endpoint = RegistrySim::Endpoint;

namespace {

using namespace xscreen;

// The frame of the program's window as the X server places it: the largest mapped top-level
// window (without a window manager the program's windows are the root's own children, their frame
// their own, and Qt's helper windows are not mapped).
std::optional<QRect> windowFrame(const QString &display)
{
    static const QRegularExpression child(QStringLiteral("^\\s+(0x[0-9a-f]+)"), QRegularExpression::MultilineOption);
    std::optional<QRect> largest;
    const QString tree = runTool(display, tool("xwininfo"), {QStringLiteral("-root"), QStringLiteral("-children")});
    for (auto it = child.globalMatch(tree); it.hasNext();) {
        const QString info = runTool(display, tool("xwininfo"), {QStringLiteral("-id"), it.next().captured(1)});
        if (!info.contains(u"Map State: IsViewable"))
            continue;
        const auto field = [&info](const char *name) {
            const QRegularExpression re(QString::fromLatin1(name) + QStringLiteral(":\\s+(-?\\d+)"));
            return re.match(info).captured(1).toInt();
        };
        const QRect frame(field("Absolute upper-left X"), field("Absolute upper-left Y"), field("Width"),
                          field("Height"));
        if (!largest || frame.width() * frame.height() > largest->width() * largest->height())
            largest = frame;
    }
    return largest;
}

class LaptopScreen : public ::testing::TestWithParam<QSize>
{
protected:
    void SetUp() override
    {
        for (const char *name : {"Xvfb", "xwininfo"}) {
            if (tool(name).isEmpty())
                GTEST_SKIP() << name << " is not installed (scripts/setup installs xvfb and x11-utils)";
        }
        // Beside the build, so the start-up checks pass.
        dir.emplace(QStringLiteral(TAVROSIN_BINARY_DIR "/screen-XXXXXX"));
        ASSERT_TRUE(dir->isValid());
        if (startupProblem(withTrailingSeparator(dir->path()), true) != StartupProblem::None)
            GTEST_SKIP() << "the build folder " << TAVROSIN_BINARY_DIR << " does not pass the start-up checks";
        ASSERT_TRUE(copyProgram(dir->path()));
        sim = startSim(simOptions(20, 10));
        ASSERT_TRUE(sim);
        QString error;
        ASSERT_TRUE(screen.start(QStringLiteral("%1x%2").arg(GetParam().width()).arg(GetParam().height()), &error))
            << error.toStdString();
    }

    void TearDown() override
    {
        if (program.state() != QProcess::NotRunning) {
            program.kill();
            program.waitForFinished();
        }
    }

    // Starts the program, waits until its list has loaded and its window has settled, and returns
    // the window's frame.
    std::optional<QRect> frameOnceTheListHasLoaded()
    {
        program.setProcessEnvironment(environmentFor(screen.display()));
        program.setWorkingDirectory(dir->path());
        program.start(QDir(dir->path()).filePath(QStringLiteral("tavrosin")), {});
        if (!program.waitForStarted(30000))
            return std::nullopt;
        // The list is loaded once the dictionary pages stop coming.
        qsizetype pages = -1;
        const bool loaded = QTest::qWaitFor(
            [&] {
                const qsizetype now = sim->requests(Endpoint::Dictionary).size();
                const bool settled = now > 0 && now == pages;
                pages = now;
                QTest::qWait(1000);
                return settled || program.state() == QProcess::NotRunning;
            },
            120000);
        if (!loaded || program.state() == QProcess::NotRunning)
            return std::nullopt;
        return windowFrame(screen.display());
    }

    std::string howItEnded()
    {
        if (program.state() != QProcess::NotRunning)
            return {};
        return "; the program ended with exit code " + std::to_string(program.exitCode()) + ", stderr: " +
               program.readAllStandardError().toStdString();
    }

    std::optional<QTemporaryDir> dir;
    std::unique_ptr<RegistrySim> sim;
    VirtualScreen screen;
    QProcess program;
};

} // namespace

TEST_P(LaptopScreen, TheWholeWindowLiesOnTheScreen)
{
    const QRect screenRect(QPoint(0, 0), GetParam());
    writeRunSettings(dir->path(), *sim, "SkipDays=60\r\n");
    const std::optional<QRect> frame = frameOnceTheListHasLoaded();
    ASSERT_TRUE(frame) << "no window" << howItEnded();
    EXPECT_TRUE(screenRect.contains(*frame))
        << "window at " << frame->x() << "," << frame->y() << " size " << frame->width() << "x" << frame->height();
    EXPECT_EQ(frame->width(), 1215) << "the width the controls were laid out for";
    EXPECT_GE(frame->height(), 560);
}

// Saved on a larger monitor, to the right of where this screen ends: brought back whole.
TEST_P(LaptopScreen, APlaceSavedOnALargerMonitorIsBroughtBack)
{
    const QRect screenRect(QPoint(0, 0), GetParam());
    writeRunSettings(dir->path(), *sim, "SkipDays=60\r\n");
    QFile settings(QDir(dir->path()).filePath(QStringLiteral("settings.ini")));
    ASSERT_TRUE(settings.open(QIODevice::Append));
    settings.write("[Window]\r\nLeft=2100\r\nTop=900\r\nWidth=1700\r\nHeight=1000\r\nMaximized=0\r\n");
    settings.close();
    const std::optional<QRect> frame = frameOnceTheListHasLoaded();
    ASSERT_TRUE(frame) << "no window" << howItEnded();
    EXPECT_TRUE(screenRect.contains(*frame))
        << "window at " << frame->x() << "," << frame->y() << " size " << frame->width() << "x" << frame->height();
}

INSTANTIATE_TEST_SUITE_P(OfficeLaptops, LaptopScreen, ::testing::Values(QSize(1366, 768), QSize(1280, 720)),
                         [](const ::testing::TestParamInfo<QSize> &info) {
                             return std::to_string(info.param.width()) + "x" + std::to_string(info.param.height());
                         });
