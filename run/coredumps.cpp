#include "coredumps.h"

#include <QtGlobal>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <sys/resource.h>
#endif

bool coreDumpsSwitchedOffByThisBuild()
{
#if defined(Q_OS_UNIX) && defined(NDEBUG)
    return true;
#else
    return false;
#endif
}

bool switchOffCoreDumps(QString *error)
{
#if defined(Q_OS_UNIX) && defined(NDEBUG)
    // The hard limit too: lowered, it cannot be raised again by this process or its children.
    const rlimit none{0, 0};
    if (::setrlimit(RLIMIT_CORE, &none) == 0)
        return true;
    if (error)
        *error = QString::fromLocal8Bit(std::strerror(errno));
    return false;
#else
    Q_UNUSED(error);
    return true;
#endif
}
