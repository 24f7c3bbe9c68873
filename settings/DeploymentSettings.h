#pragma once

// Addresses and the origin allow-list that differ between deployments. Each setting is taken from the
// first of these that sets it:
//   1. the machine's policy: on Windows the string values of
//      HKEY_LOCAL_MACHINE\SOFTWARE\Policies\Vantrel\VantrelDetectInstallTool, elsewhere the INI file
//      /etc/vantrel/VantrelDetectInstallTool.conf (CMake: VANTREL_MACHINE_POLICY). Only administrators
//      write there, so a policy's allow-list is never loosened by anything the user can write;
//   2. the environment (VANTREL_ALLOWED_ORIGINS, VANTREL_VERSION_SERVICE_URL, VANTREL_PROBE_URL,
//      VANTREL_WEBCHAT_URL);
//   3. the build default (CMake cache variables of the same names).
// Every value is checked: an address must be http or https with a host, an origin scheme://host[:port]
// (http or https; a trailing "/" is tolerated, default ports and letter case are normalised). A bad
// address is ignored; a policy's bad address falls to the build default, never to the environment. A
// set allow-list keeps its valid origins; one whose every entry is bad, or that is empty, serves no page
// at all, never every page. A policy file that exists but cannot be read counts as such a list. Any
// origin is served only when no source sets an allow-list. Policy value names are matched regardless of
// letter case (as the registry does) and a byte-order mark before the first is ignored. Values are read
// at each use, so a changed policy holds from the next connection.
#include <QHash>
#include <QString>
#include <QStringList>

namespace DeploymentSettings {

// Plain-HTTP page fetched by the network check.
QString probeUrl();
// Base address of the version service, scheme://host[:port].
QString versionServiceUrl();
// Customer-service web chat page with accountId and chatId.
QString webChatUrl();

struct OriginAllowList
{
    bool anyOrigin = true; // no source set an allow-list
    QStringList origins; // normalised; empty with !anyOrigin: no page is served
};
OriginAllowList allowedOrigins();
bool originAllowed(const QString &origin, const OriginAllowList &allowList);

enum class Kind { Address, Origins };
enum class Source { MachinePolicy, Environment, BuildDefault };
struct Setting
{
    QString value; // checked and normalised; origins joined by ","
    Source source = Source::BuildDefault;
    QStringList ignored; // what was left out, and why, for the log
};
// One setting from its candidates, strongest first. A null policy is not set; an empty environment
// value is not set.
Setting resolve(Kind kind, const QString &policy, const QString &environment, const QString &buildDefault);
// The origin in the form browsers send, or a null string when the text is no origin.
QString normalisedOrigin(const QString &text);

struct MachinePolicy
{
    bool unreadable = false; // the store exists but cannot be read
    QHash<QString, QString> values; // by lower-case name; a list (INI commas, REG_MULTI_SZ) joined by ","
    QStringList unknownNames; // names set that the program does not know
};
MachinePolicy readMachinePolicy(const QString &location);

// Logs once where each setting came from and what was ignored.
void logSources();

} // namespace DeploymentSettings
