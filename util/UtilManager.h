#pragma once

// The program's one service object: the command state of the last browser message, the single
// instances of the windows and of the tool client, and every operation that touches the operating
// system (disk, network, uninstall lists, processes, start with login, first-run flag).
//
// Decisions of ours:
// - The network probe is bounded by NetworkProbeTimeoutMs; a probe that times out is a failed check.
// - waitWithEvents runs a local event loop rather than spinning on processEvents, so a wait costs no
//   CPU; events are processed all the same.
// - The windows and the tool client live until the application object is destroyed: they are
//   deleted at the start of its destruction (a post routine), while deleting widgets is still safe.
// - The free space can be overridden with the environment variable VANTREL_DISK_FREE_BYTES (tests and
//   the demo use it to reach the threshold without filling a disk).
#include <QMutex>
#include <QObject>
#include <QPointer>
#include <QString>

class WebSocketClient;
class ToolDelivery;
class LoadingWidget;
class CheckWidget;
class HomeWidget;

namespace Platform {
class UninstallEntry;
}

// Smallest free space, in bytes, that counts as enough: more than 5120 whole MiB.
constexpr qint64 MinimumFreeBytes = 5369757696LL;
// Bound of one network probe.
constexpr int NetworkProbeTimeoutMs = 10000;
// A registry value longer than this does not fit the reader's 512-byte buffer and counts as absent.
constexpr int MaxRegistryValueLength = 255;

// Pure rules, callable without a UtilManager.
bool isFreeSpaceEnough(qint64 bytesFree);
// The path an uninstall entry names: InstallLocation, else DisplayIcon (".ico" -> ".exe"), each without
// one pair of quotation marks around it; false when neither can be read. UninstallString names the
// tool's uninstaller and is never taken: an entry with nothing else yields no path, the start fails and
// the user is told to reinstall the tool ("软件启动失败！请重新安装…"), which is what such an entry needs.
bool programPathOfEntry(const Platform::UninstallEntry &entry, QString *path);
// A value as the reader sees it: false when absent or longer than MaxRegistryValueLength.
bool readFittingValue(const Platform::UninstallEntry &entry, const QString &name, QString *value);

class UtilManager : public QObject
{
public:
    static UtilManager *instance();

    // The connection to the tool of the current scene.
    WebSocketClient *webSocketClient();
    // The road of the commands for the tool of scene ("00": the signature client, any other: the
    // encryption client), or of the tool with the given display title (null for an unknown title).
    ToolDelivery *toolDelivery(const QString &scene);
    ToolDelivery *toolDeliveryTitled(const QString &title);
    // Drops the commands that wait for a tool's installation (the user gave the installation up).
    void dropCommandsAwaitingInstallation();
    LoadingWidget *loadingWidget();
    CheckWidget *checkWidget();
    HomeWidget *homeWidget();

    static bool hasEnoughDiskSpace();
    static bool isNetworkReachable();
    static QString installedProgramPath(const QString &title);
    static QString uninstallValue(const QString &title, const QString &valueName);
    static QString displayVersion(const QString &title);
    static QString versionNumber(const QString &title);
    static bool isToolInstalled(const QString &title);
    static bool isToolRunning(const QString &programName);
    static bool isProcessAlive(qint64 pid);
    static int versionValue(const QString &version);
    static int compareVersion(const QString &a, const QString &b);
    static void setAutoStart(bool enabled);
    static bool isAutoStart();
    static QString dataDirectory();
    static QString startupFlagPath();
    static bool isFirstRun();
    static void writeStartupFlag();
    static void waitWithEvents(unsigned int ms);

    // The last text a page sent, kept for diagnostics: what a tool receives is decided by ToolDelivery.
    QString lastMessage;
    QString useScene = QStringLiteral("01");
    QString operationCommand = QStringLiteral("startTool");

private:
    UtilManager() = default;

    static void releaseInstances();

    // Guarded: whoever deletes one of them early gets a fresh one from the getter.
    QPointer<ToolDelivery> signatureDelivery;
    QPointer<ToolDelivery> encryptionDelivery;
    QPointer<LoadingWidget> loadingWidgetInstance;
    QPointer<CheckWidget> checkWidgetInstance;
    QPointer<HomeWidget> homeWidgetInstance;
};
