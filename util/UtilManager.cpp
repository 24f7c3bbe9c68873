#include "UtilManager.h"

#include "Platform.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QSslSocket>
#include <QStandardPaths>
#include <QStorageInfo>
#include <QTimer>

#include "CheckWidget.h"
#include "Constants.h"
#include "DeploymentSettings.h"
#include "HomeWidget.h"
#include "LoadingWidget.h"
#include "ToolDelivery.h"
#include "WebSocketClient.h"

namespace {

// The status line of an answer is far shorter; a server that sends more without a line break is not
// answering HTTP.
const qint64 MaxProbeHeadBytes = 8 * 1024;

QByteArray probeRequest(const QUrl &url)
{
    // The target of a GET is an absolute path: "http://host?q" asks for "/?q", as a browser does.
    QUrl path = url;
    if (path.path().isEmpty())
        path.setPath(QStringLiteral("/"));
    const QByteArray target
        = path.toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority | QUrl::RemoveFragment);
    return "GET " + target + " HTTP/1.1\r\nHost: "
        + url.toEncoded(QUrl::RemoveScheme | QUrl::RemovePath | QUrl::RemoveQuery | QUrl::RemoveFragment
                 | QUrl::RemoveUserInfo)
              .mid(2)
        + "\r\nUser-Agent: Mozilla/5.0\r\nConnection: close\r\n\r\n";
}

// The status of "HTTP/1.1 200 OK\r\n…"; 0 when head does not begin with a whole status line.
int statusOfAnswer(const QByteArray &head)
{
    const int end = head.indexOf('\n');
    const QList<QByteArray> parts = head.left(end).trimmed().split(' ');
    if (end < 0 || parts.size() < 2 || !parts.first().startsWith("HTTP/") || parts.at(1).size() != 3)
        return 0;
    // Three digits: toInt() also takes a sign ("+99", "-01").
    const QByteArray &code = parts.at(1);
    for (const char digit : code)
        if (digit < '0' || digit > '9')
            return 0;
    return code.toInt();
}

// Asks for url over a socket of our own rather than through Qt's HTTP stack, and returns the status of
// the answer's status line (0 without one, with the reason in failure); nothing after that line is read.
// Qt reads the whole body of a 401 or 407 before it reports anything, and meanwhile hears no abort: a
// server on the way to the plain-http page answering 401 with a body without end took 4 GiB and held
// the check 15 s. A server that accepts and never answers holds it no longer than the bound.
int statusOfProbePage(const QUrl &url, QString *failure)
{
    const bool secure = url.scheme() == QLatin1String("https");
    QSslSocket socket;
    QEventLoop loop;
    QByteArray head;
    QObject::connect(&socket, &QIODevice::readyRead, &loop, [&]() {
        head += socket.read(MaxProbeHeadBytes - head.size());
        if (head.contains('\n') || head.size() >= MaxProbeHeadBytes)
            loop.quit();
    });
    // Refused, failed or closed (stateChanged rather than the error signal, renamed in Qt 5.15).
    QObject::connect(
        &socket, &QAbstractSocket::stateChanged, &loop, [&loop](QAbstractSocket::SocketState state) {
            if (state == QAbstractSocket::UnconnectedState)
                loop.quit();
        });
    const auto ask = [&]() { socket.write(probeRequest(url)); };
    QObject::connect(&socket, secure ? &QSslSocket::encrypted : &QAbstractSocket::connected, &loop, ask);
    QTimer bound;
    bound.setSingleShot(true);
    bound.setTimerType(Qt::PreciseTimer);
    QObject::connect(&bound, &QTimer::timeout, &loop, &QEventLoop::quit);
    bound.start(NetworkProbeTimeoutMs);
    const quint16 port = quint16(url.port(secure ? 443 : 80));
    if (secure)
        socket.connectToHostEncrypted(url.host(), port);
    else
        socket.connectToHost(url.host(), port);
    // A failure reported at once (no host at all) came before the loop and would not end it.
    if (socket.state() != QAbstractSocket::UnconnectedState)
        loop.exec();
    const int status = statusOfAnswer(head);
    socket.abort();
    if (status == 0 && socket.error() == QAbstractSocket::UnknownSocketError)
        *failure = bound.isActive() ? QStringLiteral("no HTTP answer") : QStringLiteral("Operation canceled");
    else if (status == 0)
        *failure = socket.errorString();
    return status;
}

const Platform::UninstallList SearchOrder[]
    = { Platform::UninstallList::Native, Platform::UninstallList::Wow6432Node };

qint64 freeBytesOf(const QStorageInfo &volume)
{
    bool overridden = false;
    const qint64 forced = qEnvironmentVariable("VANTREL_DISK_FREE_BYTES").toLongLong(&overridden);
    return overridden ? forced : volume.bytesFree();
}

} // namespace

bool isFreeSpaceEnough(qint64 bytesFree)
{
    return bytesFree >= MinimumFreeBytes;
}

bool readFittingValue(const Platform::UninstallEntry &entry, const QString &name, QString *value)
{
    QString text;
    if (!entry.readValue(name, &text) || text.size() > MaxRegistryValueLength)
        return false;
    *value = text;
    return true;
}

namespace {

// Installers often quote a path ("C:\\Program Files\\…"): one pair around the whole value is not part
// of it. Quotation marks anywhere else stay.
QString unquotedPath(const QString &value)
{
    const QString text = value.trimmed();
    if (text.size() >= 2 && text.startsWith(QLatin1Char('"')) && text.endsWith(QLatin1Char('"'))
        && text.count(QLatin1Char('"')) == 2)
        return text.mid(1, text.size() - 2);
    return text;
}

// The program of a DisplayIcon value, "path,index" with the path perhaps quoted (and then perhaps
// holding a comma).
QString iconProgram(const QString &value)
{
    const QString text = value.trimmed();
    const int closing = text.startsWith(QLatin1Char('"')) ? text.indexOf(QLatin1Char('"'), 1) : -1;
    const QString rest = closing > 0 ? text.mid(closing + 1).trimmed() : QString();
    if (closing > 0 && (rest.isEmpty() || rest.startsWith(QLatin1Char(',')))
        && !rest.contains(QLatin1Char('"')))
        return text.mid(1, closing - 1);
    return text.split(QLatin1Char(','), Qt::KeepEmptyParts).first().trimmed();
}

} // namespace

bool programPathOfEntry(const Platform::UninstallEntry &entry, QString *path)
{
    QString value;
    if (readFittingValue(entry, QStringLiteral("InstallLocation"), &value)) {
        *path = unquotedPath(value);
        return true;
    }
    if (readFittingValue(entry, QStringLiteral("DisplayIcon"), &value)) {
        QString program = iconProgram(value);
        if (program.endsWith(QLatin1String(".ico"), Qt::CaseInsensitive))
            program.replace(program.size() - 4, 4, QStringLiteral(".exe"));
        *path = program;
        return true;
    }
    // UninstallString names the uninstaller: a page's start command must never run it.
    if (readFittingValue(entry, QStringLiteral("UninstallString"), &value))
        qDebug().noquote() << "An uninstall entry names only its uninstaller, which is never started:"
                           << unquotedPath(value);
    return false;
}

namespace {
UtilManager *volatile currentManager = nullptr;
}

UtilManager *UtilManager::instance()
{
    if (currentManager)
        return currentManager;
    static QMutex creation;
    QMutexLocker lock(&creation);
    if (!currentManager) {
        currentManager = new UtilManager;
        qAddPostRoutine(releaseInstances);
    }
    return currentManager;
}

void UtilManager::releaseInstances()
{
    UtilManager *manager = currentManager;
    currentManager = nullptr;
    if (!manager)
        return;
    delete manager->homeWidgetInstance;
    delete manager->checkWidgetInstance;
    delete manager->loadingWidgetInstance;
    delete manager->signatureDelivery;
    delete manager->encryptionDelivery;
    delete manager;
}

WebSocketClient *UtilManager::webSocketClient()
{
    return toolDelivery(useScene)->client();
}

ToolDelivery *UtilManager::toolDelivery(const QString &scene)
{
    if (scene == QLatin1String("00")) {
        if (!signatureDelivery)
            signatureDelivery
                = new ToolDelivery(SignatureClientTitle, SignatureClientName, SignatureClientUrl);
        return signatureDelivery;
    }
    if (!encryptionDelivery)
        encryptionDelivery = new ToolDelivery(EncryptedClientTitle, EncryptedClientName, EncryptedClientUrl);
    return encryptionDelivery;
}

ToolDelivery *UtilManager::toolDeliveryTitled(const QString &title)
{
    if (title == SignatureClientTitle)
        return toolDelivery(QStringLiteral("00"));
    if (title == EncryptedClientTitle)
        return toolDelivery(QStringLiteral("01"));
    return nullptr;
}

void UtilManager::dropCommandsAwaitingInstallation()
{
    for (ToolDelivery *delivery : { signatureDelivery.data(), encryptionDelivery.data() })
        if (delivery && delivery->launchState() == ToolDelivery::LaunchState::AwaitingInstallation)
            delivery->dropWaitingLaunch(QStringLiteral("the installation was given up"));
}

CheckWidget *UtilManager::checkWidget()
{
    if (!checkWidgetInstance)
        checkWidgetInstance = new CheckWidget(nullptr);
    return checkWidgetInstance;
}

HomeWidget *UtilManager::homeWidget()
{
    if (!homeWidgetInstance)
        homeWidgetInstance = new HomeWidget(nullptr);
    return homeWidgetInstance;
}

LoadingWidget *UtilManager::loadingWidget()
{
    if (!loadingWidgetInstance)
        loadingWidgetInstance = new LoadingWidget(nullptr);
    return loadingWidgetInstance;
}

bool UtilManager::hasEnoughDiskSpace()
{
    const QString path = QCoreApplication::applicationDirPath();
    const QStorageInfo volume(path);
    if (!volume.isValid()) {
        qDebug() << "指定路径无效:" << path;
        return false;
    }
    return isFreeSpaceEnough(freeBytesOf(volume));
}

bool UtilManager::isNetworkReachable()
{
    QString failure;
    const int status = statusOfProbePage(QUrl(DeploymentSettings::probeUrl()), &failure);
    // As Qt counts an answer: a status from 400 on is an error.
    if (status > 0 && status < 400)
        return true;
    qDebug() << "网络不可用，错误：" << (status > 0 ? QStringLiteral("HTTP %1").arg(status) : failure);
    return false;
}

QString UtilManager::installedProgramPath(const QString &title)
{
    QString path;
    bool found = false;
    for (const Platform::UninstallList list : SearchOrder) {
        Platform::forEachUninstallEntry(list, [&](const Platform::UninstallEntry &entry) {
            QString name;
            if (!readFittingValue(entry, QStringLiteral("DisplayName"), &name)
                || name.compare(title, Qt::CaseInsensitive) != 0)
                return false;
            found = programPathOfEntry(entry, &path);
            return found;
        });
        if (found)
            break;
    }
    return path;
}

QString UtilManager::uninstallValue(const QString &title, const QString &valueName)
{
    QString result;
    for (const Platform::UninstallList list : SearchOrder) {
        Platform::forEachUninstallEntry(list, [&](const Platform::UninstallEntry &entry) {
            QString name;
            if (!readFittingValue(entry, QStringLiteral("DisplayName"), &name) || name != title)
                return false;
            return readFittingValue(entry, valueName, &result);
        });
        if (!result.isEmpty())
            return result;
    }
    return result;
}

QString UtilManager::displayVersion(const QString &title)
{
    return uninstallValue(title, QStringLiteral("DisplayVersion"));
}

QString UtilManager::versionNumber(const QString &title)
{
    return uninstallValue(title, QStringLiteral("VersionNumber"));
}

bool UtilManager::isToolInstalled(const QString &title)
{
    for (const Platform::UninstallList list : SearchOrder) {
        for (const QString &name : Platform::uninstallDisplayNames(list)) {
            if (name.contains(title, Qt::CaseInsensitive))
                return true;
        }
    }
    return false;
}

bool UtilManager::isToolRunning(const QString &programName)
{
    return Platform::isProgramRunning(programName, ProcessListingTimeoutMs);
}

bool UtilManager::isProcessAlive(qint64 pid)
{
    return Platform::isProcessAlive(pid);
}

int UtilManager::versionValue(const QString &version)
{
    QString text = version;
    if (text.startsWith(QLatin1Char('V')) || text.startsWith(QLatin1Char('v')))
        text.remove(0, 1);
    return text.split(QLatin1Char('.'), Qt::KeepEmptyParts).join(QString()).toInt(nullptr, 10);
}

int UtilManager::compareVersion(const QString &a, const QString &b)
{
    const int x = versionValue(a);
    const int y = versionValue(b);
    if (x < y)
        return -1;
    if (y < x)
        return 1;
    return 0;
}

void UtilManager::setAutoStart(bool enabled)
{
    const QString name = QCoreApplication::applicationName();
    if (enabled)
        Platform::writeAutoStartEntry(name, Platform::autoStartProgramPath());
    else
        Platform::removeAutoStartEntry(name);
}

bool UtilManager::isAutoStart()
{
    return Platform::autoStartEntry(QCoreApplication::applicationName()) == Platform::autoStartProgramPath();
}

QString UtilManager::dataDirectory()
{
    return QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation) + QLatin1Char('/')
        + qAppName();
}

QString UtilManager::startupFlagPath()
{
    return QDir::toNativeSeparators(dataDirectory() + QStringLiteral("/startup.flag"));
}

bool UtilManager::isFirstRun()
{
    return !QFile::exists(startupFlagPath());
}

void UtilManager::writeStartupFlag()
{
    QDir directory(dataDirectory());
    if (!directory.exists())
        directory.mkpath(QStringLiteral("."));
    QFile flag(startupFlagPath());
    if (flag.open(QIODevice::WriteOnly))
        flag.close();
}

void UtilManager::waitWithEvents(unsigned int ms)
{
    QElapsedTimer elapsed;
    elapsed.start();
    QEventLoop loop;
    QTimer deadline;
    deadline.setSingleShot(true);
    deadline.setTimerType(Qt::PreciseTimer);
    QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    // A quit of the application also ends the local loop early; keep waiting out the rest then.
    while (elapsed.elapsed() < static_cast<qint64>(ms)) {
        deadline.start(static_cast<int>(static_cast<qint64>(ms) - elapsed.elapsed()));
        loop.exec(QEventLoop::AllEvents);
        if (QCoreApplication::closingDown())
            break;
        if (deadline.isActive())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 100);
    }
}
