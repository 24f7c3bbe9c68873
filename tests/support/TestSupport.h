#pragma once

// Shared helpers of the tests: a private HOME/XDG tree, uninstall entry files and process helpers.
#include <QMap>
#include <QString>
#include <QTemporaryDir>

// Points HOME, the XDG folders and the uninstall root at a fresh temporary folder for this process.
class TestEnvironment
{
public:
    TestEnvironment();
    QString root() const { return folder.path(); }
    QString uninstallRoot() const;

    // Writes <list>/<subkey>.ini; list is "Uninstall" or "WOW6432Node/Uninstall".
    void writeEntry(const QString &list, const QString &subkey, const QMap<QString, QString> &values) const;
    void clearEntries() const;

private:
    QTemporaryDir folder;
};

// Registers the sample tool of the given title as installed at programPath.
void registerTool(const TestEnvironment &environment, const QString &title, const QString &programPath,
    const QString &version = QStringLiteral("1.0.5"));

#include <QStringList>
#include <QtGlobal>

// Collects the debug log while it lives (and still prints it), for asserting exact log lines.
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    QStringList lines() const;
    int count(const QString &line) const { return lines().count(line); }
    void clear();

private:
    QtMessageHandler previous;
};

// A file path under the test's temporary folder that a sample tool records its frames to.
QStringList readRecordedFrames(const QString &recordPath);
