#include "SingleApplication.h"

#include "Platform.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>
#include <QWidget>

namespace {

const int ProbeConnectTimeoutMs = 500;
const int PeerReadTimeoutMs = 1000;

} // namespace

const char SingleApplication::QuitArgument[] = "--quit";
const char SingleApplication::QuitRequest[] = "quit";

SingleApplication::SingleApplication(int &argc, char **argv)
    : QApplication(argc, argv)
    , serverName(QFileInfo(QCoreApplication::applicationFilePath()).fileName())
{
    probeRunningInstance();
}

bool SingleApplication::alreadyRunning() const
{
    return running;
}

bool SingleApplication::connectToGuard(QLocalSocket &socket, int timeoutMs) const
{
    socket.connectToServer(Platform::guardServerAddress(serverName), QIODevice::ReadWrite);
    return socket.waitForConnected(timeoutMs);
}

void SingleApplication::probeRunningInstance()
{
    running = false;
    const bool quitRequested = QCoreApplication::arguments().contains(QLatin1String(QuitArgument));
    QLocalSocket socket;
    if (connectToGuard(socket, ProbeConnectTimeoutMs) && isOwnCopy(socket)) {
        running = true;
        if (quitRequested)
            askRunningCopyToQuit(socket);
        return;
    }
    if (quitRequested) {
        // Nothing to end, and nothing to start either.
        running = true;
        return;
    }
    startGuardServer();
}

// Only a copy of this user's counts: another user's socket under the guard's name must not keep this
// user's program from starting (nor be asked to quit).
bool SingleApplication::isOwnCopy(QLocalSocket &socket) const
{
    const Platform::SocketOwner owner = Platform::localServerOwner(socket.socketDescriptor());
    if (owner.kind == Platform::SocketOwner::Kind::ThisUser)
        return true;
    qDebug() << "The single-instance guard is not this user's copy:" << owner.description;
    socket.abort();
    return false;
}

void SingleApplication::askRunningCopyToQuit(QLocalSocket &socket)
{
    socket.write(QuitRequest);
    socket.waitForBytesWritten(ProbeConnectTimeoutMs);
    socket.disconnectFromServer();
    // The guard goes away when the running copy has released everything and ends.
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < QuitWaitMs) {
        QLocalSocket probe;
        if (!connectToGuard(probe, ProbeConnectTimeoutMs))
            return;
        probe.abort();
        QThread::msleep(100);
    }
    qWarning() << "The running copy did not quit within" << QuitWaitMs << "ms";
}

void SingleApplication::startGuardServer()
{
    guardServer = new QLocalServer(this);
    guardServer->setSocketOptions(QLocalServer::UserAccessOption);
    connect(guardServer, &QLocalServer::newConnection, this, &SingleApplication::NewLocalConnection);
    const QString address = Platform::guardServerAddress(serverName);
    if (!guardServer->listen(address) && guardServer->serverError() == QAbstractSocket::AddressInUseError) {
        // A copy that crashed left its name behind.
        QLocalServer::removeServer(address);
        guardServer->listen(address);
    }
}

void SingleApplication::NewLocalConnection()
{
    QLocalSocket *socket = guardServer->nextPendingConnection();
    if (!socket)
        return;
    if (quitting) {
        // The copy that asked us to quit checks whether we are gone; show nothing any more.
        delete socket;
        return;
    }
    socket->waitForReadyRead(PeerReadTimeoutMs);
    const bool quitRequested = socket->readAll().startsWith(QuitRequest);
    delete socket;
    if (quitRequested) {
        qDebug() << "Asked to quit by another start of the program";
        quitting = true;
        QCoreApplication::quit();
        return;
    }
    if (mainWindow) {
        qDebug() << "Another start of the program: bringing the main window to the front";
        mainWindow->raise();
        mainWindow->showNormal();
    }
}
