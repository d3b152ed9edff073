#pragma once
// Where the program talks to: the registry and the Bot API. Read from the [Network] section of
// settings.ini (never rewritten by the program); the defaults are the public services.

#include "httpclient.h"

#include <QString>

struct NetworkConfig
{
    QString registryUrl = QStringLiteral("https://pub.fsa.gov.ru"); // scheme, host and port; no trailing slash
    QString botApiUrl = QStringLiteral("https://api.telegram.org");
    QString registryCaFile;  // empty: the registry's certificate is not verified
    QString botApiCaFile;    // empty: verified against the system trust store
    QString loginUser = QStringLiteral("anonymous");
    QString loginPassword = QStringLiteral("vbnuwe3KTD58Ra");

    TlsOptions registryTls() const { return {!registryCaFile.isEmpty(), registryCaFile}; }
    TlsOptions botApiTls() const { return {true, botApiCaFile}; }
};
