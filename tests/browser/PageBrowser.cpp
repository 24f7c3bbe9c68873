#include "PageBrowser.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QtTest>

bool PageBrowser::waitFor(const QString &expression, int timeoutMs)
{
    const bool met = QTest::qWaitFor([&]() { return evaluate(expression, 5000).toBool(); }, timeoutMs);
    if (!met)
        lastError = "never true within " + QString::number(timeoutMs) + " ms: " + expression;
    return met;
}

bool PageBrowser::makeCertificateStore(const QString &folder, const QStringList &pemFiles)
{
    QDir().mkpath(folder);
    QList<QStringList> steps = { { "-N", "--empty-password" } };
    for (const QString &pem : pemFiles)
        steps.append({ "-A", "-t", "C,,", "-n", QFileInfo(pem).baseName(), "-i", pem });
    for (const QStringList &step : steps) {
        QProcess certutil;
        certutil.start("certutil", QStringList({ "-d", "sql:" + folder }) + step);
        if (!certutil.waitForFinished(15000) || certutil.exitCode() != 0) {
            lastError = "certutil " + step.join(' ') + ": " + certutil.errorString() + " "
                + QString::fromLocal8Bit(certutil.readAllStandardError());
            return false;
        }
    }
    return true;
}

QString PageBrowser::findProgram(const char *variable, std::initializer_list<const char *> names)
{
    const QString configured = qEnvironmentVariable(variable);
    if (!configured.isEmpty())
        return configured;
    for (const char *name : names) {
        const QString found = QStandardPaths::findExecutable(QString::fromLatin1(name));
        if (!found.isEmpty())
            return found;
    }
    return {};
}
