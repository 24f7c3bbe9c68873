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

// A query is one GET over a socket of its own, read as it arrives, rather than through the Qt::Http*
// library: Qt's HTTP stack under it reads the whole body of a 401 or 407 before it reports anything and
// hears no abort meanwhile, so a service or proxy answering so with a body without end took GiBs before
// the time bound. Bounding every status inside the library would mean replacing Qt's stack there, and
// with it what the library's callers get from Qt (credentials answered to a challenge, proxy
// authentication, HTTP/2); the query needs none of that. It keeps what it had: TLS verified as Qt
// verifies it, the proxy Qt would take, redirects as that Qt version took them (Qt 5 none, Qt 6 up to 50,
// never https to http), the body uncompressed.
//
// The reply is bounded whatever it is: a head, and a body, larger than MaxVersionReplyBytes (by its
// Content-Length, or as it arrives, chunked or not) ends the query at once; so does an error status
// (400 and above, decided by the status line, the body unread), and a query with no complete reply within
// VersionQueryTimeoutMs. Each fails as a service that is down does. A service streaming without end to
// each query therefore costs the program no more than the bounds per query.
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
