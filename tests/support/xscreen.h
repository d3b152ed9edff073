#pragma once
// A virtual X screen for the tests that start the real window: an Xvfb of its own on a free display
// number, and the X tools (xwininfo, xprop) run against it. The server ends with the object. Tests
// that need these tools skip where tool() finds none of them.

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

namespace xscreen {

// The full path of an installed program, or empty.
QString tool(const char *name);

// The environment of a program shown on display: the X11 platform, no scale factor of the caller,
// no authority file, and UTF-8 output (xprop prints names as they are).
QProcessEnvironment environmentFor(const QString &display);

// What program printed on standard output, run on display; empty when it did not finish in time.
QString runTool(const QString &display, const QString &program, const QStringList &arguments);

// Whether a client can talk to the X server on display yet.
bool serverAnswers(const QString &display);

class VirtualScreen
{
public:
    VirtualScreen() = default;
    VirtualScreen(const VirtualScreen &) = delete;
    VirtualScreen &operator=(const VirtualScreen &) = delete;
    ~VirtualScreen();

    // Starts Xvfb with one screen of size ("1366x768") and waits until a client is answered; says
    // why in error when it does not come up.
    bool start(const QString &size, QString *error);
    QString display() const { return m_display; }

private:
    QProcess m_server;
    QString m_display;
};

// The built program, copied into dir (a copy in a folder of its own keeps its files there).
bool copyProgram(const QString &dir);

} // namespace xscreen
