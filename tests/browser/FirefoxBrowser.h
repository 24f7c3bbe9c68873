#pragma once

// Headless Firefox for the tests, driven over WebDriver BiDi: Firefox's remote agent listens on a
// loopback port it picks itself (--remote-debugging-port 0, read back from its standard error), and
// the driver opens one session there over a WebSocket.
//
// Each browser gets a fresh profile whose NSS database (cert9.db, Firefox's own certificate store)
// holds the roots passed to start(); certificate checks stay on.
#include "PageBrowser.h"

#include <QJsonObject>
#include <QMap>
#include <QProcess>
#include <QTemporaryDir>
#include <QVariantMap>

class QWebSocket;

class FirefoxBrowser : public PageBrowser
{
    Q_OBJECT

public:
    explicit FirefoxBrowser(QObject *parent = nullptr);
    ~FirefoxBrowser() override;

    // Starts the browser with one blank page. trustedRoots are PEM files imported as trusted
    // certificate authorities; preferences are set in the profile beside the driver's own.
    bool start(const QStringList &trustedRoots = {}, const QVariantMap &preferences = {});
    void stop();

    bool navigate(const QUrl &url, int timeoutMs = 15000) override;
    QJsonValue evaluate(const QString &expression, int timeoutMs = 30000) override;
    QByteArray screenshot() override;

    static QString executable();

private:
    bool writePreferences(const QString &profile, const QVariantMap &preferences);
    bool connectToRemoteAgent(int timeoutMs);
    QJsonObject call(const QString &method, const QJsonObject &params = {}, int timeoutMs = 15000);
    void readMessage(const QString &text);
    QString browserLog() const;

    QTemporaryDir folder;
    QProcess process;
    QWebSocket *socket = nullptr;
    QByteArray standardError;
    int nextId = 1;
    QMap<int, QJsonObject> answers;
    QString context;
};
