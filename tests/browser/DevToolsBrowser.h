#pragma once

// Headless Chromium for the tests, driven over the DevTools protocol through --remote-debugging-pipe:
// the browser reads commands on its descriptor 3 and writes answers and events on its descriptor 4,
// each message a JSON text ended by a NUL byte. No port is opened for the driver.
//
// Each browser gets its own temporary profile and its own HOME, whose NSS database (the store Chromium
// on Linux reads trusted roots from) holds the roots passed to start(); certificate checks stay on.
#include "PageBrowser.h"

#include <QJsonObject>
#include <QMap>
#include <QTemporaryDir>

class QSocketNotifier;
class PipedProcess;

class DevToolsBrowser : public PageBrowser
{
    Q_OBJECT

public:
    explicit DevToolsBrowser(QObject *parent = nullptr);
    ~DevToolsBrowser() override;

    // Starts the browser with one blank page attached. extraArguments go to the command line;
    // trustedRoots are PEM files imported as trusted certificate authorities.
    bool start(const QStringList &extraArguments = {}, const QStringList &trustedRoots = {});
    void stop();

    // Sends a command (to the page unless browserLevel) and waits for its answer's result; error() is
    // empty when it succeeded.
    QJsonObject call(const QString &method, const QJsonObject &params = {}, bool browserLevel = false,
        int timeoutMs = 15000);
    bool navigate(const QUrl &url, int timeoutMs = 15000) override;
    QJsonValue evaluate(const QString &expression, int timeoutMs = 30000) override;
    QByteArray screenshot() override;

    static QString executable();

private:
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
};
