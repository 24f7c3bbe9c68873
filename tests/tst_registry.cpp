// Uninstall-list lookups on real entry files: matching rules, path fallbacks, value limits, list order.
#include "Constants.h"
#include "TestSupport.h"
#include "UtilManager.h"

#include <QtTest>

class RegistryTest : public QObject
{
    Q_OBJECT

private slots:
    void init() { environment.clearEntries(); }

    void installedProgramPath_installLocationWithBlanks_returnsTrimmed()
    {
        environment.writeEntry("Uninstall", "sign",
            { { "DisplayName", SignatureClientTitle }, { "InstallLocation", "  D:\\Tools\\Sign  " },
                { "DisplayIcon", "D:\\Other\\x.exe" } });
        QCOMPARE(UtilManager::installedProgramPath(SignatureClientTitle), QString("D:\\Tools\\Sign"));
    }

    void installedProgramPath_displayIcon_data()
    {
        QTest::addColumn<QString>("icon");
        QTest::addColumn<QString>("expected");
        QTest::newRow("ico becomes exe") << "D:\\App\\sign.ICO,0"
                                         << "D:\\App\\sign.exe";
        QTest::newRow("exe with index") << "D:\\App\\sign.exe,0"
                                        << "D:\\App\\sign.exe";
        QTest::newRow("blanks and comma") << "  D:\\App\\sign.exe , 1  "
                                          << "D:\\App\\sign.exe";
        QTest::newRow("one pair of quotes dropped") << "\"D:\\App\\sign.exe\""
                                                    << "D:\\App\\sign.exe";
        QTest::newRow("quoted, with index") << "\"C:\\Program Files\\Tessary\\Sign\\sign.exe\",0"
                                            << "C:\\Program Files\\Tessary\\Sign\\sign.exe";
        QTest::newRow("quoted, a comma inside") << "\"D:\\A,B\\sign.ico\" , 1"
                                                << "D:\\A,B\\sign.exe";
        QTest::newRow("quotes inside kept") << "D:\\App\\\"x\".exe,0"
                                            << "D:\\App\\\"x\".exe";
        QTest::newRow("leading comma") << ",D:\\App\\sign.exe"
                                       << "";
    }

    void installedProgramPath_displayIcon()
    {
        QFETCH(QString, icon);
        QFETCH(QString, expected);
        environment.writeEntry("Uninstall", "sign",
            { { "DisplayName", SignatureClientTitle }, { "DisplayIcon", icon },
                { "UninstallString", "D:\\App\\uninstall.exe" } });
        QCOMPARE(UtilManager::installedProgramPath(SignatureClientTitle), expected);
    }

    // The uninstaller is never a program to start; a quoted InstallLocation is taken without its quotes.
    void installedProgramPath_neverTheUninstaller_quotesDropped()
    {
        environment.writeEntry("Uninstall", "sign",
            { { "DisplayName", SignatureClientTitle }, { "UninstallString", " D:\\App\\uninst.exe /S " } });
        QCOMPARE(UtilManager::installedProgramPath(SignatureClientTitle), QString());
        environment.writeEntry("Uninstall", "sign",
            { { "DisplayName", SignatureClientTitle }, { "InstallLocation", " \"D:\\Tools\\Sign\" " } });
        QCOMPARE(UtilManager::installedProgramPath(SignatureClientTitle), QString("D:\\Tools\\Sign"));
    }

    void installedProgramPath_entryWithoutPath_continuesWithNextEntry()
    {
        environment.writeEntry("Uninstall", "a-empty", { { "DisplayName", SignatureClientTitle } });
        environment.writeEntry("Uninstall", "b-full",
            { { "DisplayName", SignatureClientTitle }, { "InstallLocation", "/opt/sign" } });
        QCOMPARE(UtilManager::installedProgramPath(SignatureClientTitle), QString("/opt/sign"));
    }

    void letterCase_foundByPathAndInstalled_butNotByVersion()
    {
        environment.writeEntry("Uninstall", "sign",
            { { "DisplayName", "TESSARY签章客户端" }, { "InstallLocation", "/opt/sign" },
                { "DisplayVersion", "1.0.5" } });
        QVERIFY(UtilManager::isToolInstalled(SignatureClientTitle));
        QCOMPARE(UtilManager::installedProgramPath(SignatureClientTitle), QString("/opt/sign"));
        QCOMPARE(UtilManager::displayVersion(SignatureClientTitle), QString());
    }

    void suffix_countsAsInstalled_butHasNoPathOrVersion()
    {
        environment.writeEntry("Uninstall", "sign",
            { { "DisplayName", SignatureClientTitle + " (1.0.5)" }, { "InstallLocation", "/opt/sign" },
                { "DisplayVersion", "1.0.5" } });
        QVERIFY(UtilManager::isToolInstalled(SignatureClientTitle));
        QVERIFY(!UtilManager::isToolInstalled(EncryptedClientTitle));
        QCOMPARE(UtilManager::installedProgramPath(SignatureClientTitle), QString());
        QCOMPARE(UtilManager::displayVersion(SignatureClientTitle), QString());
    }

    void valueLongerThan255_countsAsAbsent()
    {
        const QString tooLong = "/opt/" + QString(251, 'x'); // 256 characters
        const QString fits = "/opt/" + QString(250, 'y'); // 255 characters
        environment.writeEntry("Uninstall", "sign",
            { { "DisplayName", SignatureClientTitle }, { "InstallLocation", tooLong },
                { "DisplayIcon", fits }, { "DisplayVersion", QString(256, '1') } });
        QCOMPARE(UtilManager::installedProgramPath(SignatureClientTitle), fits);
        QCOMPARE(UtilManager::displayVersion(SignatureClientTitle), QString());
    }

    void values_keepBackslashesAndCommasRaw()
    {
        environment.writeEntry("Uninstall", "sign",
            { { "DisplayName", SignatureClientTitle }, { "DisplayVersion", " 1,0\\5 " } });
        QCOMPARE(UtilManager::displayVersion(SignatureClientTitle), QString(" 1,0\\5 "));
    }

    void lists_nativeSearchedBeforeWow6432()
    {
        environment.writeEntry("WOW6432Node/Uninstall", "a",
            { { "DisplayName", EncryptedClientTitle }, { "InstallLocation", "/opt/32" },
                { "VersionNumber", "32" } });
        environment.writeEntry("Uninstall", "z",
            { { "DisplayName", EncryptedClientTitle }, { "InstallLocation", "/opt/64" },
                { "VersionNumber", "64" } });
        QCOMPARE(UtilManager::installedProgramPath(EncryptedClientTitle), QString("/opt/64"));
        QCOMPARE(UtilManager::versionNumber(EncryptedClientTitle), QString("64"));
    }

    void lists_wow6432UsedWhenNativeHasNoValue()
    {
        environment.writeEntry("Uninstall", "z", { { "DisplayName", EncryptedClientTitle } });
        environment.writeEntry("WOW6432Node/Uninstall", "a",
            { { "DisplayName", EncryptedClientTitle }, { "InstallLocation", "/opt/32" },
                { "VersionNumber", "32" } });
        QCOMPARE(UtilManager::installedProgramPath(EncryptedClientTitle), QString("/opt/32"));
        QCOMPARE(UtilManager::versionNumber(EncryptedClientTitle), QString("32"));
        QVERIFY(UtilManager::isToolInstalled(EncryptedClientTitle));
    }

    void entries_firstInNameOrderWins()
    {
        environment.writeEntry(
            "Uninstall", "b", { { "DisplayName", SignatureClientTitle }, { "InstallLocation", "/opt/b" } });
        environment.writeEntry(
            "Uninstall", "a", { { "DisplayName", SignatureClientTitle }, { "InstallLocation", "/opt/a" } });
        QCOMPARE(UtilManager::installedProgramPath(SignatureClientTitle), QString("/opt/a"));
    }

    void noEntries_nothingFound()
    {
        QVERIFY(!UtilManager::isToolInstalled(SignatureClientTitle));
        QCOMPARE(UtilManager::installedProgramPath(SignatureClientTitle), QString());
        QCOMPARE(UtilManager::versionNumber(SignatureClientTitle), QString());
    }

private:
    TestEnvironment environment;
};

QTEST_GUILESS_MAIN(RegistryTest)
#include "tst_registry.moc"
