#pragma once

// The tool table: everything that identifies the two managed client tools and this program.
#include <QString>

extern const QString AppVersion;
extern const QString DetectInstallToolName;
extern const QString SignatureClientName;
extern const QString SignatureClientTitle;
extern const QString SignatureClientUrl;
extern const QString EncryptedClientName;
extern const QString EncryptedClientTitle;
extern const QString EncryptedClientUrl;
