#pragma once
// How the executables end once everything they own has been written, synced and closed.
//
// On Windows the process is ended by TerminateProcess rather than by returning from main: under
// Wine, about every second run of tavrosin-run.exe hung for good inside ExitProcess after main had
// returned (its work done, its files closed), which a daily task would see as a run that never
// ends. Nothing is left for the process's teardown to do at that point: every file was flushed and
// closed by its owner, and standard output and error are flushed first. Elsewhere it returns the
// code for main to return.
int endProcess(int exitCode);
