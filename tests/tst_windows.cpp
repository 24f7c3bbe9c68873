// What only the Windows layer can show, run under Wine: uninstall entries written by reg.exe into the
// 64-bit list and, through the 32-bit registry view, into the WOW6432Node list; the Run value of
// start with login as reg.exe sees it; the process listing the process check reads, from the system
// folder only; the state of an ended process; and who holds a socket or the guard.
#include "Constants.h"
#include "Platform.h"
#include "TasklistOutput.h"
#include "TestSupport.h"
#include "UtilManager.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>
#include <string>
#include <windows.h>

namespace {

const QString UninstallPath = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
const QString Wow6432Path = "HKLM\\SOFTWARE\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
const QString RunPath = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Run";

DWORD ownSession()
{
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    return session;
}

// Runs reg.exe as an installer or a user would; returns its exit code (-1 when it did not run).
int reg(const QStringList &arguments, QByteArray *output = nullptr)
{
    QProcess process;
    process.start("reg", arguments);
    if (!process.waitForFinished(30000))
        return -1;
    if (output)
        *output = process.readAllStandardOutput();
    return process.exitCode();
}

// Writes one value of an entry; view is "64" (the native list) or "32" (what a 32-bit installer
// writes, which a 64-bit reader finds under WOW6432Node).
void addValue(const QString &view, const QString &subkey, const QString &name, const QString &data)
{
    const int status = reg({ "add", UninstallPath + "VantrelTest-" + subkey, "/v", name, "/t", "REG_SZ", "/d",
        data, "/f", "/reg:" + view });
    QVERIFY2(status == 0, qPrintable(QString("reg add %1 %2: exit code %3").arg(subkey, name).arg(status)));
}

// Where Windows keeps its own programs (System32).
QString systemFolder()
{
    wchar_t folder[MAX_PATH] = {};
    const UINT chars = GetSystemDirectoryW(folder, MAX_PATH);
    return QString::fromWCharArray(folder, static_cast<int>(chars));
}

// The paths of the tasklist.exe copies that ran, as they recorded them (see tests/wine/tasklist.cpp).
QStringList recordedRuns(const QString &record)
{
    QFile file(record);
    if (!file.open(QIODevice::ReadOnly))
        return QStringList();
    return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
}

} // namespace

class WindowsTest : public QObject
{
    Q_OBJECT

private slots:
    void init() { environment.clearEntries(); }

    void thirtyTwoBitEntry_isFoundUnderWow6432Node_andTheNativeListWins()
    {
        addValue("32", "sign32", "DisplayName", SignatureClientTitle);
        addValue("32", "sign32", "InstallLocation", "C:\\Program Files (x86)\\Sign");
        addValue("32", "sign32", "DisplayVersion", "1.0.3");
        // The 32-bit view is the WOW6432Node list as a 64-bit program sees it.
        QCOMPARE(reg({ "query", Wow6432Path + "VantrelTest-sign32" }), 0);
        QVERIFY(reg({ "query", UninstallPath + "VantrelTest-sign32", "/reg:64" }) != 0);
        QCOMPARE(UtilManager::installedProgramPath(SignatureClientTitle),
            QString("C:\\Program Files (x86)\\Sign"));
        QCOMPARE(UtilManager::displayVersion(SignatureClientTitle), QString("1.0.3"));
        QVERIFY(UtilManager::isToolInstalled(SignatureClientTitle));

        // An entry of the same tool in the 64-bit list is searched first, whatever the names.
        addValue("64", "zz-sign64", "DisplayName", SignatureClientTitle);
        addValue("64", "zz-sign64", "InstallLocation", "C:\\Program Files\\Sign");
        addValue("64", "zz-sign64", "DisplayVersion", "1.0.5");
        QCOMPARE(UtilManager::installedProgramPath(SignatureClientTitle), QString("C:\\Program Files\\Sign"));
        QCOMPARE(UtilManager::displayVersion(SignatureClientTitle), QString("1.0.5"));
    }

    void pathFallbacks_andThe255CharacterRule()
    {
        const QString tooLong = "C:\\" + QString(253, 'x'); // 256 characters: absent
        addValue("64", "enc", "DisplayName", EncryptedClientTitle);
        addValue("64", "enc", "InstallLocation", tooLong);
        addValue("64", "enc", "DisplayIcon", " C:\\Tools\\Enc\\enc.ICO,0 ");
        addValue("64", "enc", "UninstallString", "C:\\Tools\\Enc\\uninst.exe");
        addValue("64", "enc", "VersionNumber", QString(256, '1'));
        QCOMPARE(UtilManager::installedProgramPath(EncryptedClientTitle), QString("C:\\Tools\\Enc\\enc.exe"));
        QCOMPARE(UtilManager::versionNumber(EncryptedClientTitle), QString());

        const QString fits = "C:\\" + QString(252, 'y'); // 255 characters
        addValue("64", "enc", "InstallLocation", "  " + fits.left(250) + "  ");
        QCOMPARE(UtilManager::installedProgramPath(EncryptedClientTitle), fits.left(250));
        QCOMPARE(reg({ "delete", UninstallPath + "VantrelTest-enc", "/v", "InstallLocation", "/f" }), 0);
        QCOMPARE(reg({ "delete", UninstallPath + "VantrelTest-enc", "/v", "DisplayIcon", "/f" }), 0);
        QCOMPARE(UtilManager::installedProgramPath(EncryptedClientTitle), QString());
        addValue("64", "enc", "DisplayIcon", "\"C:\\Program Files\\Enc\\enc.exe\",0");
        QCOMPARE(UtilManager::installedProgramPath(EncryptedClientTitle),
            QString("C:\\Program Files\\Enc\\enc.exe"));
    }

    void startWithLogin_runValueWrittenAndRemoved()
    {
        const QString name = QCoreApplication::applicationName();
        UtilManager::setAutoStart(true);
        QByteArray listing;
        QCOMPARE(reg({ "query", RunPath, "/v", name }, &listing), 0);
        const QString expected
            = QCoreApplication::applicationDirPath().replace('/', '\\') + "\\" + name + ".exe";
        QVERIFY2(QString::fromLocal8Bit(listing).contains("REG_SZ    " + expected), listing.constData());
        QVERIFY(UtilManager::isAutoStart());
        UtilManager::setAutoStart(false);
        QVERIFY(reg({ "query", RunPath, "/v", name }) != 0);
        QVERIFY(!UtilManager::isAutoStart());
    }

    // The tasklist in the system folder, which the process check runs (under Wine the tests' own: Wine's
    // prints nothing), lists a started tool in the layout of Windows' own, its name cut to 25 characters.
    void tasklist_listsAStartedToolAsWindowsDoes()
    {
        QProcess tool;
        tool.start(SAMPLE_SIGNATURE_CLIENT, { "--port", "0" });
        QVERIFY(tool.waitForStarted(5000));
        QProcess tasklist;
        tasklist.start(systemFolder() + "\\tasklist.exe", QStringList());
        QVERIFY(tasklist.waitForFinished(30000));
        const QByteArray listing = tasklist.readAllStandardOutput();
        QVERIFY2(listing.contains("Image Name                     PID Session Name"), listing.constData());
        QVERIFY(listing.contains(
            QString("\r\nVantrelSignatureClient.ex %1 ").arg(tool.processId(), 8).toLatin1()));
        QVERIFY(tasklistListsProgram(listing, SignatureClientName));
        // The process check counts this session's processes only.
        QVERIFY(tasklistListsProgram(listing, SignatureClientName, ownSession()));
        QVERIFY(!tasklistListsProgram(listing, SignatureClientName, ownSession() + 1));
        QVERIFY(UtilManager::isToolRunning(SignatureClientName));
        tool.kill();
        QVERIFY(tool.waitForFinished(5000));
        QVERIFY(!UtilManager::isToolRunning(SignatureClientName));
    }

    // A bare "tasklist" would be searched first beside the program and in its working folder, where
    // anyone who can write there may plant one: the process check runs only the system folder's copy.
    void processCheck_neverRunsATasklistPlantedBesideOrInTheWorkingFolder()
    {
        const QString beside = QDir::toNativeSeparators(TASKLIST_STAND_IN);
        QCOMPARE(QFileInfo(beside).absolutePath(), QCoreApplication::applicationDirPath());
        QTemporaryDir work;
        QVERIFY(work.isValid());
        const QString planted = QDir::toNativeSeparators(work.filePath("tasklist.exe"));
        QVERIFY(QFile::copy(beside, planted));
        const QString record = work.filePath("runs.txt");
        const QString previous = QDir::currentPath();
        const auto restore = qScopeGuard([&previous]() {
            QDir::setCurrent(previous);
            qunsetenv("VANTREL_TASKLIST_RECORD");
        });
        qputenv("VANTREL_TASKLIST_RECORD", QDir::toNativeSeparators(record).toUtf8());
        // A planted copy that runs says so.
        QProcess direct;
        direct.start(planted, QStringList());
        QVERIFY(direct.waitForFinished(30000));
        QCOMPARE(recordedRuns(record).join(';').toLower(), planted.toLower());
        QVERIFY(QFile::remove(record));

        QVERIFY(QDir::setCurrent(work.path()));
        UtilManager::isToolRunning(SignatureClientName);
        const QStringList runs = recordedRuns(record);
        for (const QString &run : runs)
            QVERIFY2(run.startsWith(systemFolder() + "\\", Qt::CaseInsensitive), qPrintable(run));
        // Under Wine the system folder's copy is the stand-in, which records its run too.
        if (GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version"))
            QCOMPARE(runs.size(), 1);
        // Wine lets go of an ended child's working folder a moment after the child is reported ended.
        QVERIFY(QDir::setCurrent(previous));
        QTRY_VERIFY_WITH_TIMEOUT(QDir(work.path()).removeRecursively(), 5000);
    }

    // A process that has ended is not alive, also while something still holds a handle to it.
    void endedProcess_withAHandleHeld_isNotAlive()
    {
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION child = {};
        std::wstring command = QString("\"%1\" --port 47199").arg(SAMPLE_SIGNATURE_CLIENT).toStdWString();
        QVERIFY(CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
            nullptr, &startup, &child));
        QVERIFY(UtilManager::isProcessAlive(child.dwProcessId));
        QVERIFY(TerminateProcess(child.hProcess, 1));
        QCOMPARE(WaitForSingleObject(child.hProcess, 10000), DWORD(WAIT_OBJECT_0));
        QVERIFY(!UtilManager::isProcessAlive(child.dwProcessId));
        CloseHandle(child.hThread);
        CloseHandle(child.hProcess);
    }

    // Both ends of a loopback connection made here, and its listener, are this user's. Under Wine the
    // system's table names no owner at all, so this is the "not checked" rule of platform_win.cpp; what
    // Wine cannot show, another user or another session holding the far end, is not tested here.
    void socketOwners_ofOwnConnection_areThisUser_data()
    {
        QTest::addColumn<QString>("address");
        QTest::newRow("IPv4") << "127.0.0.1";
        QTest::newRow("IPv6") << "::1";
    }

    void socketOwners_ofOwnConnection_areThisUser()
    {
        QFETCH(QString, address);
        const QHostAddress loopback(address);
        QTcpServer server;
        QVERIFY(server.listen(loopback));
        QTcpSocket client;
        client.connectToHost(loopback, server.serverPort());
        QVERIFY(client.waitForConnected(5000));
        QVERIFY(server.waitForNewConnection(5000));
        QTcpSocket *accepted = server.nextPendingConnection();
        using Kind = Platform::SocketOwner::Kind;
        const auto kindOf = [](const Platform::SocketOwner &owner) {
            qDebug() << owner.description;
            return owner.kind;
        };
        QCOMPARE(kindOf(Platform::peerSocketOwner(accepted->localAddress(), accepted->localPort(),
                     accepted->peerAddress(), accepted->peerPort())),
            Kind::ThisUser);
        QCOMPARE(kindOf(Platform::peerSocketOwner(
                     client.localAddress(), client.localPort(), client.peerAddress(), client.peerPort())),
            Kind::ThisUser);
        QCOMPARE(kindOf(Platform::listenerOwner(loopback, server.serverPort())), Kind::ThisUser);
        // A connection the system does not list, and a port nobody listens on any more.
        QCOMPARE(
            kindOf(Platform::peerSocketOwner(loopback, server.serverPort(), loopback, 1)), Kind::Unknown);
        const quint16 port = server.serverPort();
        server.close();
        QCOMPARE(kindOf(Platform::listenerOwner(loopback, port)), Kind::Unknown);
    }

    // The guard's pipe carries this user's SID and session, and its server end is this user's.
    // The TLS library's configuration is the program folder's, never the build machine's folder that
    // any user may create on the current drive; one the user chose stays.
    void tlsLibraryConfiguration_isTheProgramFolders()
    {
        const QByteArray chosen = qgetenv("OPENSSL_CONF");
        qunsetenv("OPENSSL_CONF");
        Platform::pinTlsLibraryConfiguration();
        QCOMPARE(qEnvironmentVariable("OPENSSL_CONF"),
            QDir::toNativeSeparators(QCoreApplication::applicationDirPath() + "/openssl.cnf"));
        qputenv("OPENSSL_CONF", "C:\\chosen.cnf");
        Platform::pinTlsLibraryConfiguration();
        QCOMPARE(qgetenv("OPENSSL_CONF"), QByteArray("C:\\chosen.cnf"));
        qputenv("OPENSSL_CONF", chosen);
    }

    void guardAddress_carriesUserAndSession()
    {
        const QString address = Platform::guardServerAddress("VantrelGuardTest");
        QVERIFY2(QRegularExpression(QString("^VantrelGuardTest-S-1-5-[0-9-]+-session%1$").arg(ownSession()))
                     .match(address)
                     .hasMatch(),
            qPrintable(address));
        QLocalServer server;
        server.setSocketOptions(QLocalServer::UserAccessOption);
        QVERIFY(server.listen(address));
        QLocalSocket client;
        client.connectToServer(address);
        QVERIFY(client.waitForConnected(5000));
        const Platform::SocketOwner owner = Platform::localServerOwner(client.socketDescriptor());
        QVERIFY2(owner.kind == Platform::SocketOwner::Kind::ThisUser, qPrintable(owner.description));
    }

    // After a silent install (scripts/check-windows-installer.sh), the program is found through its own
    // uninstall entry exactly as it finds the tools.
    void installedProgram_isFoundByItsUninstallEntry()
    {
        const QString folder = qEnvironmentVariable("VANTREL_INSTALLED_FOLDER");
        if (folder.isEmpty())
            QSKIP("Run by the installer check after a silent install");
        const QString title = "Tessary检测安装工具";
        QVERIFY(UtilManager::isToolInstalled(title));
        QCOMPARE(UtilManager::installedProgramPath(title), folder);
        QCOMPARE(UtilManager::displayVersion(title), QString(PROJECT_VERSION));
        QVERIFY(QFile::exists(folder + "\\VantrelDetectInstallTool.exe"));
    }

private:
    TestEnvironment environment;
};

QTEST_GUILESS_MAIN(WindowsTest)
#include "tst_windows.moc"
