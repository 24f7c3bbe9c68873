// The single-instance guard with real program processes, a stale guard socket, and the first run.
#include "TestSupport.h"

#include <QtTest>

class SingleInstanceTest : public QObject
{
    Q_OBJECT

private slots:
    void secondStart_exitsWithZeroQuickly()
    {
        QProcess first;
        startProgram(first);
        QTRY_VERIFY_WITH_TIMEOUT(guardIsListening(GuardName), 10000);

        QProcess second;
        QElapsedTimer elapsed;
        elapsed.start();
        startProgram(second);
        QVERIFY(second.waitForFinished(5000));
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        QVERIFY2(elapsed.elapsed() < 3000, qPrintable(QString::number(elapsed.elapsed())));
        QCOMPARE(first.state(), QProcess::Running);
        // The first copy, hidden in the tray (started with an argument), brings its window back.
        QByteArray log;
        QTRY_VERIFY_WITH_TIMEOUT(
            (log += first.readAllStandardError()).contains("bringing the main window to the front"), 5000);
        stopProgram(first);
    }

    void staleGuard_isRemovedAndListenedOnAgain()
    {
#ifdef Q_OS_WIN
        QSKIP("A Windows named pipe ends with its process: a crash leaves no stale name behind");
#endif
        QProcess crashed;
        startProgram(crashed);
        QTRY_VERIFY_WITH_TIMEOUT(guardIsListening(GuardName), 10000);
        crashed.kill(); // SIGKILL leaves the socket file behind
        QVERIFY(crashed.waitForFinished(5000));
        QVERIFY(guardIsListening(GuardName));

        QProcess next;
        startProgram(next);
        QTest::qWait(1500);
        QCOMPARE(next.state(), QProcess::Running);

        QProcess third;
        startProgram(third);
        QVERIFY(third.waitForFinished(5000));
        QCOMPARE(third.exitCode(), 0);
        stopProgram(next);
    }

    void firstRun_registersAutostartAndWritesFlag()
    {
        const QString flag = environment.documentsFolder() + "/VantrelDetectInstallTool/startup.flag";
        QFile::remove(flag);
        environment.removeAutoStart(ProgramName);
        QProcess program;
        startProgram(program);
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(flag), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(environment.autoStartRegistered(ProgramName), 10000);
        stopProgram(program);

        // With the flag present, a later start leaves a removed autostart entry alone.
        environment.removeAutoStart(ProgramName);
        startProgram(program);
        QTRY_VERIFY_WITH_TIMEOUT(guardIsListening(GuardName), 10000);
        QTest::qWait(300);
        QVERIFY(!environment.autoStartRegistered(ProgramName));
        stopProgram(program);
    }

    void quitArgument_endsTheRunningCopy_orNothing()
    {
        QProcess first;
        startProgram(first);
        QTRY_VERIFY_WITH_TIMEOUT(guardIsListening(GuardName), 10000);
        QProcess quit;
        startProgram(quit, { "--quit" });
        QVERIFY(quit.waitForFinished(20000));
        QCOMPARE(quit.exitCode(), 0);
        // The asking copy returns only once the running one is gone, and that one quit cleanly.
        QVERIFY(first.waitForFinished(5000));
        QCOMPARE(first.exitStatus(), QProcess::NormalExit);
        QCOMPARE(first.exitCode(), 0);
        QVERIFY(!guardIsListening(GuardName));
        // One tray icon over the whole run: the shutdown creates none.
        QCOMPARE(QString::fromUtf8(first.readAllStandardError()).count("Tray icon created"), 1);

        // With no copy running it starts nothing.
        startProgram(quit, { "--quit" });
        QVERIFY(quit.waitForFinished(5000));
        QCOMPARE(quit.exitCode(), 0);
        QVERIFY(!guardIsListening(GuardName));
    }

private:
    const QString ProgramName = "VantrelDetectInstallTool";
    // The guard is named after the program's file name.
#ifdef Q_OS_WIN
    const QString GuardName = "VantrelDetectInstallTool.exe";
#else
    const QString GuardName = "VantrelDetectInstallTool";
#endif

    void startProgram(QProcess &process, const QStringList &arguments = { "--tray" })
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        // Keep the program off the real network and ports of other tests.
        env.insert("VANTREL_VERSION_SERVICE_URL", "http://127.0.0.1:9");
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::SeparateChannels);
        process.start(PROGRAM_PATH, arguments);
        QVERIFY(process.waitForStarted(5000));
    }

    void stopProgram(QProcess &process)
    {
        const QString failure = stopProgramCleanly(process);
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
        QVERIFY2(!guardIsListening(GuardName), "a clean quit removes the guard");
    }

    TestEnvironment environment;
};

QTEST_GUILESS_MAIN(SingleInstanceTest)
#include "tst_singleinstance.moc"
