#pragma once

// Addresses that differ between deployments. Each has a build-time default (CMake cache variable)
// and a run-time override through an environment variable, so tests and the demo can point the
// program at servers on loopback.
#include <QString>

namespace DeploymentSettings {

// Plain-HTTP page fetched by the network check (VANTREL_PROBE_URL).
QString probeUrl();
// Base address of the version service, scheme://host[:port] (VANTREL_VERSION_SERVICE_URL).
QString versionServiceUrl();
// Customer-service web chat page with accountId and chatId (VANTREL_WEBCHAT_URL).
QString webChatUrl();

} // namespace DeploymentSettings
