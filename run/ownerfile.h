#pragma once
// Files the program makes are readable by their owner only (0600 on POSIX): settings.ini holds the
// bot token and the login password, DatesDB.txt and the results name the applicants called, and
// the logs tell both. A file that exists already keeps the mode its owner gave it.

#include <QFile>
#include <QFileDevice>
#include <QString>

inline constexpr QFileDevice::Permissions kOwnerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;

// Sets the mode of a file the program has just made; false when the system refused.
inline bool restrictToOwner(const QString &path)
{
    return QFile::setPermissions(path, kOwnerOnly);
}
