#include "DeploymentSettings.h"

#include <QDebug>
#include <QFileInfo>
#include <QMutex>
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

// Text for a policy value; something that is no text becomes a value no check passes.
QString policyText(const QVariant &value)
{
    if (value.userType() == QMetaType::QStringList)
        return value.toStringList().join(QLatin1Char(','));
    if (value.canConvert<QString>())
        return value.toString().isNull() ? QStringLiteral("") : value.toString();
    return QStringLiteral("(a value that is no text)");
}

Setting settingOf(const Definition &definition)
{
    const MachinePolicy policy = readMachinePolicy(QStringLiteral(VANTREL_MACHINE_POLICY));
    QString policyValue = policy.values.value(QString::fromLatin1(definition.policyName).toLower());
    if (policy.unreadable && definition.kind == Kind::Origins)
        policyValue = QStringLiteral("(the machine policy cannot be read)");
    const QString environment = QString::fromUtf8(qgetenv(definition.variable));
    const QString buildDefault = QString::fromUtf8(definition.buildDefault);

    // Checking a long list at every connection costs; an answer stands while its inputs do.
    static QMutex mutex;
    static QHash<QString, Setting> answers;
    const QString inputs = QStringList { QString::number(int(policyValue.isNull())), policyValue, environment,
        buildDefault, QString::fromLatin1(definition.policyName) }
                               .join(QChar(0));
    QMutexLocker lock(&mutex);
    if (!answers.contains(inputs)) {
        if (answers.size() > 16)
            answers.clear();
        answers.insert(inputs, resolve(definition.kind, policyValue, environment, buildDefault));
    }
    return answers.value(inputs);
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
        = { { Source::MachinePolicy, policy }, { Source::Environment, environment } };
    for (const auto &candidate : candidates) {
        const QString text = candidate.second.trimmed();
        if (candidate.first == Source::MachinePolicy ? candidate.second.isNull() : text.isEmpty())
            continue;
        const QString from = sourceName(candidate.first);
        if (kind == Kind::Origins) {
            // A set list wins even when nothing in it is valid: a broken list must not serve every page.
            setting.value = checkedOrigins(text, from, &setting.ignored).join(QLatin1Char(','));
            setting.source = candidate.first;
            if (setting.value.isEmpty())
                setting.ignored.append(
                    QStringLiteral("%1 allow-list \"%2\": no valid origin, no page is served")
                        .arg(from, text));
            return setting;
        }
        if (isWebAddress(text)) {
            setting.value = text;
            setting.source = candidate.first;
            return setting;
        }
        setting.ignored.append(
            QStringLiteral("%1 address \"%2\": not an http or https address").arg(from, text));
        if (candidate.first == Source::MachinePolicy)
            break; // what the policy sets, the user's environment does not choose
    }
    setting.value = kind == Kind::Origins
        ? checkedOrigins(buildDefault, sourceName(Source::BuildDefault), &setting.ignored)
              .join(QLatin1Char(','))
        : buildDefault;
    return setting;
}

MachinePolicy readMachinePolicy(const QString &location)
{
    MachinePolicy policy;
    const QSettings store(location, QSettings::NativeFormat);
    const QFileInfo file(location);
    if (store.status() != QSettings::NoError || (file.exists() && !file.isReadable())) {
        policy.unreadable = true;
        return policy;
    }
    const QStringList known = { QStringLiteral("allowedorigins"), QStringLiteral("versionserviceurl"),
        QStringLiteral("probeurl"), QStringLiteral("webchaturl") };
    for (const QString &key : store.allKeys()) {
        QString name = key.toLower();
        if (name.startsWith(QChar(0xFEFF)))
            name.remove(0, 1);
        if (known.contains(name))
            policy.values.insert(name, policyText(store.value(key)));
        else
            policy.unknownNames.append(key);
    }
    return policy;
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
    const MachinePolicy policy = readMachinePolicy(QStringLiteral(VANTREL_MACHINE_POLICY));
    if (policy.unreadable)
        qDebug().noquote() << "The machine policy" << VANTREL_MACHINE_POLICY
                           << "cannot be read: its allow-list counts as one without a valid origin";
    for (const QString &name : policy.unknownNames)
        qDebug().noquote() << "The machine policy sets" << name << "which is no deployment setting: ignored";
    for (const Definition *definition : { &AllowedOrigins, &VersionServiceUrl, &ProbeUrl, &WebChatUrl }) {
        const Setting setting = settingOf(*definition);
        for (const QString &ignored : setting.ignored)
            qDebug().noquote() << "Deployment setting" << definition->policyName << "ignores the" << ignored;
        QString where = sourceName(setting.source);
        if (setting.source == Source::MachinePolicy)
            where += QLatin1Char(' ') + QStringLiteral(VANTREL_MACHINE_POLICY);
        QString shown = setting.value;
        if (definition->kind == Kind::Origins && shown.isEmpty())
            shown = allowedOrigins().anyOrigin ? QStringLiteral("(none: pages of any origin are served)")
                                               : QStringLiteral("(no valid origin: no page is served)");
        qDebug().noquote() << "Deployment setting" << definition->policyName << "from the" << where + ":"
                           << shown;
    }
}

} // namespace DeploymentSettings
