#pragma once
// The Russian sentence a user reads before libcurl's own English text ("Could not resolve host",
// "Failed to connect to … Connection refused") when the start-up login cannot reach the registry:
// one sentence for each kind of transport failure, told apart by libcurl's error code.

#include <QString>

// The sentence for libcurl's code (a CURLcode) on the way to `host`; empty for 0 (no transport
// failure: the registry answered) so the caller keeps its own.
QString connectionFailureSentence(int curlCode, const QString &host);
