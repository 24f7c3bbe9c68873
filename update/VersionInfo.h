#pragma once

// The version service client: one query per component for its latest published version and
// installer address, the record made from a good reply, and the reply parser.
//
// Records are held by shared ownership (VersionInfoPtr): a window replaces its record when a reply
// arrives, while a dialog that still shows the old one keeps it alive.
#include <QObject>
#include <QSharedPointer>
#include <QString>
#include <functional>

struct VersionInfo
{
    int versionNumber = 0;
    QString versionName;
    QString fileUrl;
    QString fileName;
    QString componentName;
    bool hasUpdate = false;
};

using VersionInfoPtr = QSharedPointer<VersionInfo>;
using VersionReplyHandler = std::function<void(const QString &componentCode, const QString &body)>;

// Sends one query and returns at once. On success the handler is called with the code captured here
// and the reply text, as long as owner still exists; failures are only logged.
void queryLatestVersion(QObject *owner, const QString &componentCode, const VersionReplyHandler &handler);

// The record of a good reply (code 200), or null.
VersionInfoPtr parseVersionReply(const QString &text);
