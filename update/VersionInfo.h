#pragma once

// The version service client: one query per component for its latest published version and
// installer address, the record made from a good reply, and the reply parser.
//
// Records are held by shared ownership (VersionInfoPtr): a window replaces its record when a reply
// arrives, while a dialog that still shows the old one keeps it alive.
#include <QObject>
#include <QSharedPointer>
#include <QString>
#include <QUrl>
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

// A query's reply is bounded while it is read: one larger than MaxVersionReplyBytes (by its
// Content-Length, or as it arrives, chunked or not) is aborted at once and fails; so does a query with
// no complete reply within VersionQueryTimeoutMs. A service streaming hundreds of MiB to each query
// therefore costs the program no more than the bound per query.
constexpr qint64 MaxVersionReplyBytes = 64 * 1024;
constexpr int VersionQueryTimeoutMs = 15000;

// Sends one query and returns at once. On success the handler is called with the code captured here
// and the reply text, as long as owner still exists; failures (among them a reply past the bounds) are
// only logged ("error:: " and the reason).
void queryLatestVersion(QObject *owner, const QString &componentCode, const VersionReplyHandler &handler);

// The record of a good reply (code 200), or null.
VersionInfoPtr parseVersionReply(const QString &text);

// The installer address of a record that may be opened: fileUrl when it is an http or https address
// with a host, otherwise an empty QUrl, as if there were none. The browser hand-over behind
// QDesktopServices::openUrl is ShellExecute on Windows, which would open a file: address, run a
// javascript: one in the default browser or start any registered protocol handler, so a reply of the
// version service never decides the scheme. A refused address (not an empty one) is logged.
QUrl downloadAddress(const QString &fileUrl);
