#include "stoprequests.h"

#include <QtGlobal>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <csignal>
#endif

namespace {

void (*g_onStop)() = nullptr;

#ifdef Q_OS_WIN

// Of the 5 seconds Windows allows, some are left for the process to end on its own.
constexpr DWORD kNoticeGraceMs = 2000;
constexpr DWORD kClosingWaitMs = 4500;

// Runs on a thread Windows starts for the event.
BOOL WINAPI onConsoleEvent(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        g_onStop();
        return TRUE; // handled: the process goes on and stops the run itself
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        g_onStop();
        ::Sleep(kNoticeGraceMs);
        // Still here: a notice on its way holds the log back. A second request ends it, as a
        // second Ctrl+C would.
        g_onStop();
        ::Sleep(kClosingWaitMs - kNoticeGraceMs);
        return TRUE;
    default:
        return FALSE;
    }
}

#else

void onSignal(int)
{
    g_onStop();
}

#endif

} // namespace

void watchStopRequests(void (*onStop)())
{
    g_onStop = onStop;
#ifdef Q_OS_WIN
    ::SetConsoleCtrlHandler(onConsoleEvent, TRUE);
#else
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
#endif
}
