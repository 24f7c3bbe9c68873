// The log file: its line format, the cut of long lines, rotation under a flood, and a folder that
// cannot be used.
#include "LogFile.h"
#include "TestSupport.h"

#include <QtTest>

class LogFileTest : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { LogFile::stop(); }

    void formatLine_timeLevelAndCut()
    {
        const QDateTime time(QDate(2026, 12, 8), QTime(9, 15, 2, 318));
        QCOMPARE(LogFile::formatLine(QtWarningMsg, time, "Failed to load certificate.", 300),
            QByteArray("2026-12-08 09:15:02.318 [warning] Failed to load certificate.\n"));
        QCOMPARE(LogFile::formatLine(QtDebugMsg, time, "two\nlines", 300),
            QByteArray("2026-12-08 09:15:02.318 [debug] two\\nlines\n"));
        const QString message = "{\"VantrelUseScene\":\"00\",\"document\":\"" + QString(5000, 'x') + "\"}";
        const QByteArray cut = LogFile::formatLine(QtDebugMsg, time, message, 300);
        const QByteArray said = "... [cut: " + QByteArray::number(message.size()) + " characters]\n";
        QVERIFY(cut.endsWith(said));
        QCOMPARE(cut, "2026-12-08 09:15:02.318 [debug] " + message.left(300).toUtf8() + said);
    }

    void flood_keepsTheBound_andLosesNoRecentLine()
    {
        QTemporaryDir folder;
        LogFile::Limits limits;
        limits.maxFileBytes = 64 * 1024;
        limits.keptOldFiles = 2;
        // The debug output stays quiet for the flood; the file still receives every line.
        const QtMessageHandler original
            = qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
        QVERIFY(LogFile::start(folder.path(), limits));
        for (int line = 0; line < 100000; ++line)
            qDebug("line %d", line);
        LogFile::stop();
        qInstallMessageHandler(original);

        QByteArray all;
        qint64 onDisk = 0;
        for (const char *name : { "VantrelDetectInstallTool.2.log", "VantrelDetectInstallTool.1.log",
                 "VantrelDetectInstallTool.log" }) {
            QFile file(folder.path() + "/" + QLatin1String(name));
            QVERIFY2(file.open(QIODevice::ReadOnly), name);
            QVERIFY(file.size() <= limits.maxFileBytes);
            onDisk += file.size();
            all += file.readAll();
        }
        QCOMPARE(QDir(folder.path()).entryList(QDir::Files).size(), 3);
        QVERIFY(onDisk > 2 * limits.maxFileBytes);
        // The kept lines are the newest ones, whole and in order, without a gap.
        const QList<QByteArray> lines = all.trimmed().split('\n');
        int expected = 100000 - lines.size();
        for (const QByteArray &line : lines) {
            QVERIFY2(line.endsWith("[debug] line " + QByteArray::number(expected)), line.constData());
            ++expected;
        }
    }

    void unusableFolder_turnsTheFileOffWithOneLine()
    {
        QTemporaryDir folder;
        QFile blocker(folder.path() + "/not-a-folder");
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        LogCapture log;
        QVERIFY(!LogFile::start(blocker.fileName() + "/logs"));
        QCOMPARE(log.lines().size(), 1);
        QVERIFY(log.hasLineStartingWith("Log file off: "));
        QVERIFY(LogFile::filePath().isEmpty());
        qDebug("still logging");
        QVERIFY(log.lines().contains("still logging"));
    }
};

QTEST_GUILESS_MAIN(LogFileTest)
#include "tst_logfile.moc"
