#pragma once

// Addresses that differ between deployments. Each has a build-time default (CMake cache variable)
// and a run-time override through an environment variable, so tests and the demo can point the
// program at servers on loopback.
#include <QString>
#include <QStringList>

namespace DeploymentSettings {

// Plain-HTTP page fetched by the network check (VANTREL_PROBE_URL).
QString probeUrl();
// Base address of the version service, scheme://host[:port] (VANTREL_VERSION_SERVICE_URL).
QString versionServiceUrl();
// Customer-service web chat page with accountId and chatId (VANTREL_WEBCHAT_URL).
QString webChatUrl();
// Page origins allowed on the command listeners, comma-separated (VANTREL_ALLOWED_ORIGINS). Empty
// (the default) serves any page; otherwise a handshake from another origin, or with none, is refused.
QStringList allowedOrigins();

} // namespace DeploymentSettings
