#pragma once
// How a user stops tavrosin-run. On Linux: SIGINT and SIGTERM. On Windows: Ctrl+C and Ctrl+Break
// in its console, closing that console, logging off and shutting down. Each request calls onStop,
// which must be safe to call from a signal handler (it stores lock-free atomics); the run then
// stops cleanly as after SIGINT, and the program ends with its exit status.
//
// Windows ends a process some 5 seconds after it said that its console is closing (or that the
// user logs off, or the system shuts down), and at once when the handler returns. The handler
// therefore holds on for that long, which the run's closing steps (history, result files,
// workbook, log) use; the program usually ends before, and that ends the wait. Halfway the handler
// asks a second time, which ends a notice still on its way, so the log is written in time.

// Called once, before the login.
void watchStopRequests(void (*onStop)());
