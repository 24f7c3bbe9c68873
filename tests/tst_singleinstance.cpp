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

    // Another user made names first in the shared temporary folder: this user's Qt runtime folder
    // ($TMPDIR/runtime-root) and a socket under the guard's name, where the guard went when Qt gave no
    // runtime folder (or in this user's runtime folder, or in $TMPDIR/vantrel-0). This user's program
    // still starts, and a second start still finds it.
    void otherUsersNames_doNotStopTheProgram_data()
    {
        QTest::addColumn<QString>("runtime"); // XDG_RUNTIME_DIR in the shared folder; empty: unset
        QTest::addColumn<QString>("socketFolder"); // where the other user listens, in the shared folder
        QTest::addColumn<bool>("homeUsable");
        QTest::addColumn<QString>("guardFolder"); // where the guard listens; empty: nowhere
        const QString none;
        QTest::newRow("no runtime folder") << none << none << true << "state";
        QTest::newRow("another user's runtime folder") << "runtime-root" << none << true << "state";
        QTest::newRow("another user's socket in ours") << "mine" << QString("mine") << true << "mine";
        QTest::newRow("no home") << none << none << false << "vantrel-0";
        QTest::newRow("no home, another user's vantrel-0") << none << "vantrel-0" << false << none;
    }

    void otherUsersNames_doNotStopTheProgram()
    {
        QFETCH(QString, runtime);
        QFETCH(QString, socketFolder);
        QFETCH(bool, homeUsable);
        QFETCH(QString, guardFolder);
        const QStringList launcher = otherUserLauncher();
        if (launcher.isEmpty())
            QSKIP("Needs another user: run as root with setpriv");
        QTemporaryDir shared;
        const QString folder = shared.path() + '/';
        const QFileDevice::Permissions everyone(0x7777), owner(0x7000);
        QVERIFY(QFile::setPermissions(shared.path(), everyone));
        // This user's runtime folder, open while the other user makes a socket in it.
        const bool mine = runtime == "mine";
        QVERIFY(
            !mine || (QDir().mkdir(folder + runtime) && QFile::setPermissions(folder + runtime, everyone)));
        QProcess otherUser;
        const QString listen
            = "$| = 1; mkdir $_, 0700 for @ARGV[1, 2]; my $s = IO::Socket::UNIX->new(Local => "
              "$ARGV[0], Listen => 1) or die $!; print qq(listening\\n); sleep";
        otherUser.start(launcher.first(),
            launcher.mid(1)
                + QStringList { "perl", "-MIO::Socket::UNIX", "-e", listen,
                    QDir::cleanPath(folder + socketFolder + '/' + ProgramName), folder + "runtime-root",
                    folder + socketFolder });
        const auto stopListening = qScopeGuard([&otherUser]() {
            otherUser.kill();
            otherUser.waitForFinished();
        });
        QVERIFY(otherUser.waitForReadyRead(5000));
        QVERIFY(!mine || QFile::setPermissions(folder + runtime, owner));

        QMap<QString, QString> settings { { "XDG_RUNTIME_DIR",
                                              runtime.isEmpty() ? QString() : folder + runtime },
            { "TMPDIR", shared.path() }, { "VANTREL_VERSION_SERVICE_URL", "http://127.0.0.1:9" } };
        if (!homeUsable) // under a file: no folder can be made there
            settings.insert("XDG_STATE_HOME", PROGRAM_PATH "/state");
        ProgramProcess program;
        QVERIFY2(program.startWith(PROGRAM_PATH, settings), qPrintable(program.log()));
        if (!guardFolder.isEmpty()) {
            const QString guardIn = guardFolder == "state" ? environment.root() + "/state/" + ProgramName
                                                           : folder + guardFolder;
            QVERIFY(QFile::exists(guardIn + '/' + ProgramName));
            QCOMPARE(unixMode(guardIn), 0700);
            QProcess second;
            second.setProcessEnvironment(program.processEnvironment());
            second.start(PROGRAM_PATH, { "--tray" });
            QVERIFY(second.waitForFinished(5000));
            QCOMPARE(second.exitCode(), 0);
        }
        const QString failure = stopProgramCleanly(program);
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
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
        QVERIFY(process.waitForStarted(15000));
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
