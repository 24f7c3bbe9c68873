// Version comparison, the disk threshold, start with login, the first-run flag and the deployment
// settings' sources.
#include "DeploymentSettings.h"
#include "Platform.h"
#include "TestSupport.h"
#include "UtilManager.h"

#include <QtTest>

Q_DECLARE_METATYPE(DeploymentSettings::Kind)
Q_DECLARE_METATYPE(DeploymentSettings::Source)

class UtilRulesTest : public QObject
{
    Q_OBJECT

private slots:
    void deploymentSetting_rankedAndChecked_data()
    {
        using DeploymentSettings::Kind;
        using DeploymentSettings::Source;
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<QStringList>("candidates"); // policy, environment, build default
        QTest::addColumn<QString>("value");
        QTest::addColumn<Source>("source");
        QTest::addColumn<int>("ignored");
        const QString portal = "https://portal.example.com";
        const QString unset;
        QTest::newRow("policy over environment")
            << Kind::Origins << QStringList { portal, "https://evil.example", "" } << portal
            << Source::MachinePolicy << 0;
        QTest::newRow("environment over default")
            << Kind::Address << QStringList { unset, "http://127.0.0.1:8/", "https://d.example" }
            << "http://127.0.0.1:8/" << Source::Environment << 0;
        QTest::newRow("nothing set") << Kind::Origins << QStringList { unset, " ", "" } << ""
                                     << Source::BuildDefault << 0;
        // What the policy sets, even wrongly, the user's environment does not choose.
        QTest::newRow("bad policy address: default")
            << Kind::Address << QStringList { "file:///etc/passwd", "https://e.example", "https://d.example" }
            << "https://d.example" << Source::BuildDefault << 1;
        QTest::newRow("bad environment address: default")
            << Kind::Address << QStringList { unset, "vms.example", "https://d.example" }
            << "https://d.example" << Source::BuildDefault << 1;
        QTest::newRow("origins normalised, bad ones left out")
            << Kind::Origins
            << QStringList { "HTTPS://Portal.Example.com:443/, https://a.example/path, "
                             "http://b.example:8080, ftp://c",
                   "", "" }
            << "https://portal.example.com,http://b.example:8080" << Source::MachinePolicy << 2;
        QTest::newRow("policy list without a valid origin serves none")
            << Kind::Origins << QStringList { "portal.example.com, *", "https://evil.example", "" } << ""
            << Source::MachinePolicy << 3;
        QTest::newRow("empty policy list serves none")
            << Kind::Origins << QStringList { "", "https://evil.example", "" } << "" << Source::MachinePolicy
            << 1;
    }

    void deploymentSetting_rankedAndChecked()
    {
        QFETCH(DeploymentSettings::Kind, kind);
        QFETCH(QStringList, candidates);
        const DeploymentSettings::Setting setting
            = DeploymentSettings::resolve(kind, candidates.at(0), candidates.at(1), candidates.at(2));
        QTEST(setting.value, "value");
        QTEST(setting.source, "source");
        QTEST(int(setting.ignored.size()), "ignored");
    }

    // The system's policy store as an administrator writes it: an INI file, or the registry on Windows.
    void machinePolicy_readAsText()
    {
        QTemporaryDir folder;
        QString location = folder.filePath("VantrelDetectInstallTool.conf");
        if (QOperatingSystemVersion::currentType() == QOperatingSystemVersion::Windows) {
            location = "HKEY_CURRENT_USER\\Software\\VantrelTests\\Policy";
            QSettings policy(location, QSettings::NativeFormat);
            policy.setValue("AllowedOrigins", QStringList { "https://a.example", "https://b.example" });
            policy.setValue("ProbeUrl", "http://probe.example/?a=1");
            policy.setValue("Probe", 1);
        } else {
            QFile file(location);
            QVERIFY(file.open(QIODevice::WriteOnly));
            // As Notepad saves it: a byte-order mark, and the names in any case.
            file.write("\xEF\xBB\xBF# written by the administrator\nallowedOrigins=https://a.example, "
                       "https://b.example\n"
                       "ProbeUrl=\"http://probe.example/?a=1\"\nProbe=1\n");
        }
        const DeploymentSettings::MachinePolicy policy = DeploymentSettings::readMachinePolicy(location);
        QCOMPARE(policy.values.value("allowedorigins"), QString("https://a.example,https://b.example"));
        QCOMPARE(policy.values.value("probeurl"), QString("http://probe.example/?a=1"));
        QVERIFY(policy.values.value("webchaturl").isNull());
        QVERIFY(!policy.unreadable);
        QCOMPARE(policy.unknownNames, QStringList { "Probe" });
        if (QOperatingSystemVersion::currentType() == QOperatingSystemVersion::Windows)
            QSettings(location, QSettings::NativeFormat).remove("");
        else // a store that is there but cannot be read
            QVERIFY(DeploymentSettings::readMachinePolicy(folder.path()).unreadable);

        // A set list without a valid origin serves no page, not every page.
        qputenv("VANTREL_ALLOWED_ORIGINS", "*");
        const DeploymentSettings::OriginAllowList closed = DeploymentSettings::allowedOrigins();
        qunsetenv("VANTREL_ALLOWED_ORIGINS");
        QVERIFY(!DeploymentSettings::originAllowed("https://a.example", closed));
    }

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
        for (const QString &program :
            { QString("/opt/with blank/VantrelDetectInstallTool"), QString("/opt/with blank/\"quoted\"") }) {
            Platform::writeAutoStartEntry(name, program);
            QCOMPARE(Platform::autoStartEntry(name), program);
#ifndef Q_OS_WIN
            // As a session reads the entry: the Exec line split by the desktop entry rules.
            QCOMPARE(desktopExecWords(environment.autoStartFileText(name)).value(0), program);
#endif
        }
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
