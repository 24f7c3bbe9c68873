#include "DeploymentSettings.h"

#include <QDebug>
#include <QSettings>
#include <QUrl>

#ifndef VANTREL_DEFAULT_PROBE_URL
#define VANTREL_DEFAULT_PROBE_URL "http://www.baidu.com/"
#endif
#ifndef VANTREL_DEFAULT_VERSION_SERVICE_URL
#define VANTREL_DEFAULT_VERSION_SERVICE_URL "https://vms.tessary.com"
#endif
#ifndef VANTREL_DEFAULT_WEBCHAT_URL
#define VANTREL_DEFAULT_WEBCHAT_URL                                                                          \
    "https://kefu.tessary.com/phone_webChat.html?accountId=tessary&chatId=tessary-detect-install"
#endif
#ifndef VANTREL_DEFAULT_ALLOWED_ORIGINS
#define VANTREL_DEFAULT_ALLOWED_ORIGINS ""
#endif
#ifndef VANTREL_MACHINE_POLICY
#define VANTREL_MACHINE_POLICY "/etc/vantrel/VantrelDetectInstallTool.conf"
#endif

namespace DeploymentSettings {

namespace {

struct Definition
{
    const char *policyName;
    const char *variable;
    const char *buildDefault;
    Kind kind;
};

const Definition ProbeUrl { "ProbeUrl", "VANTREL_PROBE_URL", VANTREL_DEFAULT_PROBE_URL, Kind::Address };
const Definition VersionServiceUrl { "VersionServiceUrl", "VANTREL_VERSION_SERVICE_URL",
    VANTREL_DEFAULT_VERSION_SERVICE_URL, Kind::Address };
const Definition WebChatUrl { "WebChatUrl", "VANTREL_WEBCHAT_URL", VANTREL_DEFAULT_WEBCHAT_URL,
    Kind::Address };
const Definition AllowedOrigins { "AllowedOrigins", "VANTREL_ALLOWED_ORIGINS",
    VANTREL_DEFAULT_ALLOWED_ORIGINS, Kind::Origins };

bool isWebAddress(const QString &text)
{
    const QUrl url(text, QUrl::StrictMode);
    return url.isValid() && (url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https"))
        && !url.host().isEmpty();
}

QString sourceName(Source source)
{
    switch (source) {
    case Source::MachinePolicy:
        return QStringLiteral("machine policy");
    case Source::Environment:
        return QStringLiteral("environment");
    case Source::BuildDefault:
        break;
    }
    return QStringLiteral("build default");
}

// The valid origins of a list; the others go to `ignored`.
QStringList checkedOrigins(const QString &list, const QString &from, QStringList *ignored)
{
    QStringList origins;
    for (const QString &entry : list.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QString origin = normalisedOrigin(entry.trimmed());
        if (origin.isNull())
            ignored->append(QStringLiteral("%1 origin \"%2\": not scheme://host[:port] with http or https")
                                .arg(from, entry.trimmed()));
        else if (!origins.contains(origin))
            origins.append(origin);
    }
    return origins;
}

Setting settingOf(const Definition &definition)
{
    return resolve(definition.kind,
        policyValue(QStringLiteral(VANTREL_MACHINE_POLICY), definition.policyName),
        QString::fromUtf8(qgetenv(definition.variable)), QString::fromUtf8(definition.buildDefault));
}

} // namespace

QString normalisedOrigin(const QString &text)
{
    const QUrl url(text, QUrl::StrictMode);
    const QString scheme = url.scheme();
    const bool secure = scheme == QLatin1String("https");
    if (!isWebAddress(text) || !url.userInfo().isEmpty() || url.hasQuery() || url.hasFragment()
        || (!url.path().isEmpty() && url.path() != QLatin1String("/")))
        return {};
    QString host = url.host(QUrl::FullyEncoded);
    if (host.contains(QLatin1Char(':')))
        host = QLatin1Char('[') + host + QLatin1Char(']');
    const int port = url.port(secure ? 443 : 80);
    if (port == (secure ? 443 : 80))
        return scheme + QLatin1String("://") + host;
    return scheme + QLatin1String("://") + host + QLatin1Char(':') + QString::number(port);
}

Setting resolve(Kind kind, const QString &policy, const QString &environment, const QString &buildDefault)
{
    Setting setting;
    const QList<QPair<Source, QString>> candidates
        = { { Source::MachinePolicy, policy.trimmed() }, { Source::Environment, environment.trimmed() } };
    for (const auto &candidate : candidates) {
        if (candidate.second.isEmpty())
            continue;
        const QString from = sourceName(candidate.first);
        if (kind == Kind::Origins) {
            // A set list wins even when nothing in it is valid: a broken list must not serve every page.
            setting.value = checkedOrigins(candidate.second, from, &setting.ignored).join(QLatin1Char(','));
            setting.source = candidate.first;
            return setting;
        }
        if (isWebAddress(candidate.second)) {
            setting.value = candidate.second;
            setting.source = candidate.first;
            return setting;
        }
        setting.ignored.append(
            QStringLiteral("%1 address \"%2\": not an http or https address").arg(from, candidate.second));
    }
    setting.value = kind == Kind::Origins
        ? checkedOrigins(buildDefault, sourceName(Source::BuildDefault), &setting.ignored)
              .join(QLatin1Char(','))
        : buildDefault;
    if (kind == Kind::Origins && setting.value.isEmpty() && !buildDefault.trimmed().isEmpty())
        setting.ignored.append(QStringLiteral("the build default's allow-list holds no valid origin"));
    return setting;
}

QString policyValue(const QString &policyLocation, const QString &name)
{
    const QVariant value = QSettings(policyLocation, QSettings::NativeFormat).value(name);
    if (value.canConvert<QStringList>() && value.toStringList().size() > 1)
        return value.toStringList().join(QLatin1Char(','));
    return value.toString();
}

QString probeUrl()
{
    return settingOf(ProbeUrl).value;
}

QString versionServiceUrl()
{
    return settingOf(VersionServiceUrl).value;
}

QString webChatUrl()
{
    return settingOf(WebChatUrl).value;
}

OriginAllowList allowedOrigins()
{
    const Setting setting = settingOf(AllowedOrigins);
    OriginAllowList allowList;
    allowList.origins = setting.value.split(QLatin1Char(','), Qt::SkipEmptyParts);
    // Only a list that no source set serves every page.
    allowList.anyOrigin = setting.source == Source::BuildDefault
        && QString::fromUtf8(AllowedOrigins.buildDefault).trimmed().isEmpty();
    return allowList;
}

bool originAllowed(const QString &origin, const OriginAllowList &allowList)
{
    return allowList.anyOrigin || (!origin.isEmpty() && allowList.origins.contains(origin));
}

void logSources()
{
    for (const Definition *definition : { &AllowedOrigins, &VersionServiceUrl, &ProbeUrl, &WebChatUrl }) {
        const Setting setting = settingOf(*definition);
        for (const QString &ignored : setting.ignored)
            qDebug().noquote() << "Deployment setting" << definition->policyName << "ignores the" << ignored;
        QString where = sourceName(setting.source);
        if (setting.source == Source::MachinePolicy)
            where += QLatin1Char(' ') + QStringLiteral(VANTREL_MACHINE_POLICY);
        const QString shown = setting.value.isEmpty() ? QStringLiteral("(none)") : setting.value;
        qDebug().noquote() << "Deployment setting" << definition->policyName << "from the" << where + ":"
                           << shown;
    }
}

} // namespace DeploymentSettings
