#pragma once

// What the portal tests ask of a headless browser, whichever engine runs it: one page to navigate,
// scripts evaluated in it (promises awaited, values returned as JSON), a screenshot. Every wait is
// bounded; a failed step says why in error().
#include <QByteArray>
#include <QJsonValue>
#include <QObject>
#include <QStringList>
#include <QUrl>

#include <initializer_list>

class PageBrowser : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    QString error() const { return lastError; }
    virtual bool navigate(const QUrl &url, int timeoutMs = 15000) = 0;
    // Evaluates in the page, waiting for a promise; the value, or undefined with error() on an exception.
    virtual QJsonValue evaluate(const QString &expression, int timeoutMs = 30000) = 0;
    virtual QByteArray screenshot() = 0;
    // Waits until expression is true in the page.
    bool waitFor(const QString &expression, int timeoutMs = 15000);

protected:
    // A new NSS database in folder (the store both engines read trusted roots from on Linux) that
    // trusts the PEM files as certificate authorities.
    bool makeCertificateStore(const QString &folder, const QStringList &pemFiles);
    // The browser program: the one the environment variable names, else the first of names on PATH.
    static QString findProgram(const char *variable, std::initializer_list<const char *> names);

    QString lastError;
};
