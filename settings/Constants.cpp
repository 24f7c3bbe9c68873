#include "Constants.h"

const QString AppVersion = QStringLiteral("V1.0.5");
const QString DetectInstallToolName = QStringLiteral("VantrelDetectInstallTool");
const QString SignatureClientName = QStringLiteral("VantrelSignatureClient");
const QString SignatureClientTitle = QString::fromUtf8("Tessary签章客户端");
const QString SignatureClientUrl = QStringLiteral("ws://localhost:43231");
const QString EncryptedClientName = QStringLiteral("VantrelEncryptedClient");
const QString EncryptedClientTitle = QString::fromUtf8("Tessary加密客户端");
const QString EncryptedClientUrl = QStringLiteral("ws://localhost:60506");
