#pragma once
// The checks made when the window is first shown: is the program running from inside an archive
// or a temporary folder, and is the TLS library it needs there. Pure functions of the directory
// path and of whether the library is present, so they test without a window; the window shows the
// message and ends the process.

#include <QString>

enum class StartupProblem {
    None,
    InsideArchive,   // the path holds "Rar$" (an archiver's extraction folder)
    TemporaryFolder, // the path holds a folder named Temp (any letter case) or tmp
    NoTlsLibrary,    // libcurl is not built on the TLS library this build is meant for
};

// dir: the program's directory with its trailing separator; either separator is recognised.
StartupProblem startupProblem(const QString &dir, bool tlsLibraryPresent);
// The text of the "Внимание!" message for a problem; empty for None. Lines are joined by CR LF.
QString startupMessage(StartupProblem problem);

// The directory with one trailing "/" (as QCoreApplication gives it, native separators aside).
QString withTrailingSeparator(const QString &dir);
// True when the TLS library libcurl uses is the one this build is meant for (OpenSSL on Linux,
// Schannel on Windows: usesExpectedTlsLibrary).
bool tlsLibraryPresent();
