#include "processend.h"

#include <QtGlobal>
#include <cstdio>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

int endProcess(int exitCode)
{
    std::fflush(nullptr);
#ifdef Q_OS_WIN
    ::TerminateProcess(::GetCurrentProcess(), UINT(exitCode));
#endif
    return exitCode;
}
