#pragma once
// Both programs hold the bot token, the proxy's password and the registry's bearer token in
// memory; a core dump would put them in a file on disk, readable by whoever gets the file. Release
// builds switch core dumps off first thing in main, for the process and for good (a library
// cannot switch them back on); a debug build keeps them for its developer. Windows writes no core
// file of its own, so there this does nothing.

#include <QString>

// Whether this build switches core dumps off (a release build on a system that writes them).
bool coreDumpsSwitchedOffByThisBuild();

// Switches core dumps off when this build does so; false, with the system's reason in *error, when
// the system refused.
bool switchOffCoreDumps(QString *error = nullptr);
