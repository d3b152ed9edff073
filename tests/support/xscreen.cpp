#include "xscreen.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTest>

namespace xscreen {

QString tool(const char *name)
{
    return QStandardPaths::findExecutable(QString::fromLatin1(name));
}

QProcessEnvironment environmentFor(const QString &display)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), display);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    env.remove(QStringLiteral("XAUTHORITY"));
    env.remove(QStringLiteral("QT_SCALE_FACTOR"));
    return env;
}

QString runTool(const QString &display, const QString &program, const QStringList &arguments)
{
    QProcess p;
    p.setProcessEnvironment(environmentFor(display));
    p.start(program, arguments);
    if (!p.waitForFinished(30000))
        return {};
    return QString::fromUtf8(p.readAllStandardOutput());
}

bool serverAnswers(const QString &display)
{
    return runTool(display, tool("xwininfo"), {QStringLiteral("-root")}).contains(u"Window id");
}

bool VirtualScreen::start(const QString &size, QString *error)
{
    m_server.setProgram(tool("Xvfb"));
    // -displayfd: the server picks a free display and writes its number on the descriptor.
    // -noreset: without it the server resets whenever its last client leaves (every xwininfo does),
    // and a program that connects during a reset is refused ("could not connect to display").
    m_server.setArguments({QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-noreset"),
                           QStringLiteral("-screen"), QStringLiteral("0"), size + QStringLiteral("x24"),
                           QStringLiteral("-nolisten"), QStringLiteral("tcp")});
    m_server.start();
    if (!m_server.waitForStarted(30000)) {
        *error = m_server.errorString();
        return false;
    }
    QByteArray out;
    (void)QTest::qWaitFor(
        [&] {
            out += m_server.readAllStandardOutput();
            return out.contains('\n') || m_server.state() != QProcess::Running;
        },
        60000);
    if (!out.contains('\n')) {
        *error = QStringLiteral("Xvfb did not say its display: ") + QString::fromLocal8Bit(m_server.readAllStandardError());
        return false;
    }
    m_display = u':' + QString::fromLatin1(out.trimmed());
    if (!QTest::qWaitFor([&] { return serverAnswers(m_display); }, 60000)) {
        *error = QStringLiteral("the X server on %1 never answered").arg(m_display);
        return false;
    }
    return true;
}

VirtualScreen::~VirtualScreen()
{
    if (m_server.state() == QProcess::NotRunning)
        return;
    m_server.terminate();
    if (!m_server.waitForFinished(10000))
        m_server.kill();
    m_server.waitForFinished();
}

bool copyProgram(const QString &dir)
{
    const QString built = QStringLiteral(TAVROSIN_BINARY_DIR "/app/tavrosin");
    const QString copy = QDir(dir).filePath(QStringLiteral("tavrosin"));
    return QFile::copy(built, copy) &&
           QFile::setPermissions(copy, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

} // namespace xscreen
