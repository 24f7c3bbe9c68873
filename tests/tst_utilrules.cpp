// Version comparison, the disk threshold, start with login and the first-run flag.
#include "Platform.h"
#include "TestSupport.h"
#include "UtilManager.h"

#include <QtTest>

class UtilRulesTest : public QObject
{
    Q_OBJECT

private slots:
    void compareVersion_data()
    {
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::addColumn<int>("expected");
        QTest::newRow("V prefix ignored") << "V1.0.5"
                                          << "1.0.5" << 0;
        QTest::newRow("lower v") << "v1.0.5"
                                 << "1.0.5" << 0;
        QTest::newRow("older") << "V1.0.4"
                               << "V1.0.5" << -1;
        QTest::newRow("digits joined: 1010 > 110") << "V1.0.10"
                                                   << "V1.1.0" << 1;
        QTest::newRow("number against dotted") << "105"
                                               << "V1.0.5" << 0;
        QTest::newRow("empty is 0") << "1"
                                    << "" << 1;
        QTest::newRow("beyond 32 bits is 0") << "99999999999"
                                             << "0" << 0;
        QTest::newRow("not a number is 0") << "abc"
                                           << "" << 0;
    }

    void compareVersion()
    {
        QFETCH(QString, a);
        QFETCH(QString, b);
        QFETCH(int, expected);
        QCOMPARE(UtilManager::compareVersion(a, b), expected);
    }

    void versionValue_dropsOneLeadingV()
    {
        QCOMPARE(UtilManager::versionValue("V1.0.5"), 105);
        QCOMPARE(UtilManager::versionValue("1.2"), 12);
        QCOMPARE(UtilManager::versionValue("VV1"), 0);
    }

    void freeSpace_thresholdIsMoreThan5120MiB()
    {
        QVERIFY(!isFreeSpaceEnough(5369757695LL));
        QVERIFY(isFreeSpaceEnough(5369757696LL));
        QVERIFY(!isFreeSpaceEnough(0));
    }

    void hasEnoughDiskSpace_usesOverriddenFreeBytes()
    {
        qputenv("VANTREL_DISK_FREE_BYTES", "5369757695");
        QVERIFY(!UtilManager::hasEnoughDiskSpace());
        qputenv("VANTREL_DISK_FREE_BYTES", "5369757696");
        QVERIFY(UtilManager::hasEnoughDiskSpace());
        qunsetenv("VANTREL_DISK_FREE_BYTES");
    }

    void autoStart_writeReadRemove()
    {
        QVERIFY(!UtilManager::isAutoStart());
        UtilManager::setAutoStart(true);
        QVERIFY(UtilManager::isAutoStart());
        const QString name = QCoreApplication::applicationName();
        QVERIFY(environment.autoStartRegistered(name));
        QCOMPARE(
            Platform::autoStartEntry(QCoreApplication::applicationName()), Platform::autoStartProgramPath());
        UtilManager::setAutoStart(false);
        QVERIFY(!UtilManager::isAutoStart());
        QVERIFY(!environment.autoStartRegistered(name));
    }

    void autoStart_onlyTheExactPathCounts()
    {
        const QString name = QCoreApplication::applicationName();
        const QString path = Platform::autoStartProgramPath();
        Platform::writeAutoStartEntry(name, path.toUpper());
        QVERIFY(!UtilManager::isAutoStart());
        Platform::writeAutoStartEntry(name, path + " --tray");
        QVERIFY(!UtilManager::isAutoStart());
        Platform::writeAutoStartEntry(name, "/opt/with blank/\"quoted\"");
        QCOMPARE(Platform::autoStartEntry(name), QString("/opt/with blank/\"quoted\""));
#ifndef Q_OS_WIN
        // As a session reads the entry: the Exec line split by the desktop entry rules.
        QCOMPARE(desktopExecWords(environment.autoStartFileText(name)).value(0),
            QString("/opt/with blank/\"quoted\""));
#endif
        Platform::removeAutoStartEntry(name);
    }

    void firstRunFlag_writtenInDocumentsFolder()
    {
        QVERIFY(UtilManager::isFirstRun());
        QCOMPARE(UtilManager::startupFlagPath(),
            QDir::toNativeSeparators(environment.documentsFolder() + "/" + qAppName() + "/startup.flag"));
        UtilManager::writeStartupFlag();
        QVERIFY(QFile::exists(UtilManager::startupFlagPath()));
        QCOMPARE(QFileInfo(UtilManager::startupFlagPath()).size(), 0);
        QVERIFY(!UtilManager::isFirstRun());
    }

    void commandState_initialValues()
    {
        UtilManager *manager = UtilManager::instance();
        QCOMPARE(manager, UtilManager::instance());
        QCOMPARE(manager->useScene, QString("01"));
        QCOMPARE(manager->operationCommand, QString("startTool"));
        QVERIFY(manager->lastMessage.isEmpty());
    }

private:
    TestEnvironment environment;
};

QTEST_GUILESS_MAIN(UtilRulesTest)
#include "tst_utilrules.moc"
