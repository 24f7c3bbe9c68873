#include "DeploymentSettings.h"

#include <QByteArray>

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

namespace {

QString settingOrDefault(const char *variable, const char *fallback)
{
    const QByteArray value = qgetenv(variable);
    return value.isEmpty() ? QString::fromUtf8(fallback) : QString::fromUtf8(value);
}

} // namespace

namespace DeploymentSettings {

QString probeUrl()
{
    return settingOrDefault("VANTREL_PROBE_URL", VANTREL_DEFAULT_PROBE_URL);
}

QString versionServiceUrl()
{
    return settingOrDefault("VANTREL_VERSION_SERVICE_URL", VANTREL_DEFAULT_VERSION_SERVICE_URL);
}

QString webChatUrl()
{
    return settingOrDefault("VANTREL_WEBCHAT_URL", VANTREL_DEFAULT_WEBCHAT_URL);
}

} // namespace DeploymentSettings

QStringList DeploymentSettings::allowedOrigins()
{
    const QByteArray value = qgetenv("VANTREL_ALLOWED_ORIGINS");
    const QString list
        = value.isEmpty() ? QString::fromUtf8(VANTREL_DEFAULT_ALLOWED_ORIGINS) : QString::fromUtf8(value);
    QStringList origins;
    for (const QString &origin : list.split(QLatin1Char(','), Qt::SkipEmptyParts))
        origins.append(origin.trimmed());
    return origins;
}
