#pragma once

// Headless Chromium for the tests, driven over the DevTools protocol through --remote-debugging-pipe:
// the browser reads commands on its descriptor 3 and writes answers and events on its descriptor 4,
// each message a JSON text ended by a NUL byte. No port is opened for the driver.
//
// Each browser gets its own temporary profile and its own HOME, whose NSS database (the store Chromium
// on Linux reads trusted roots from) holds the roots passed to start(); certificate checks stay on.
// Every wait is bounded; a failed step says why in error().
#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QMap>
#include <QObject>
#include <QStringList>
#include <QTemporaryDir>
#include <QUrl>

class QSocketNotifier;
class PipedProcess;

class DevToolsBrowser : public QObject
{
    Q_OBJECT

public:
    explicit DevToolsBrowser(QObject *parent = nullptr);
    ~DevToolsBrowser() override;

    // Starts the browser with one blank page attached. extraArguments go to the command line;
    // trustedRoots are PEM files imported as trusted certificate authorities.
    bool start(const QStringList &extraArguments = {}, const QStringList &trustedRoots = {});
    void stop();
    QString error() const { return lastError; }

    // Sends a command (to the page unless browserLevel) and waits for its answer's result; error() is
    // empty when it succeeded.
    QJsonObject call(const QString &method, const QJsonObject &params = {}, bool browserLevel = false,
        int timeoutMs = 15000);
    bool navigate(const QUrl &url, int timeoutMs = 15000);
    // Evaluates in the page, waiting for a promise; the value, or undefined with error() on an exception.
    QJsonValue evaluate(const QString &expression, int timeoutMs = 30000);
    // Waits until expression is true in the page.
    bool waitFor(const QString &expression, int timeoutMs = 15000);
    QByteArray screenshot();

    static QString executable();

private:
    bool importRoots(const QStringList &pemFiles);
    bool attachPage();
    bool write(const QJsonObject &message);
    void readMessages();
    bool waitForEvent(const QString &method, int timeoutMs);
    QString browserLog();

    QTemporaryDir folder;
    PipedProcess *process = nullptr;
    int toBrowser = -1;
    int fromBrowser = -1;
    QSocketNotifier *notifier = nullptr;
    QByteArray pending;
    int nextId = 1;
    QMap<int, QJsonObject> answers;
    QStringList events;
    QString sessionId;
    QString lastError;
};
