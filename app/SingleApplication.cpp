#include "SingleApplication.h"

#include "Platform.h"

#include <QDebug>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QWidget>

namespace {

const int ProbeConnectTimeoutMs = 500;
const int PeerReadTimeoutMs = 1000;

} // namespace

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

void SingleApplication::probeRunningInstance()
{
    running = false;
    QLocalSocket socket;
    socket.connectToServer(Platform::guardServerAddress(serverName), QIODevice::ReadWrite);
    if (socket.waitForConnected(ProbeConnectTimeoutMs)) {
        running = true;
        return;
    }
    startGuardServer();
}

void SingleApplication::startGuardServer()
{
    guardServer = new QLocalServer(this);
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
    socket->waitForReadyRead(PeerReadTimeoutMs);
    delete socket;
    if (mainWindow) {
        qDebug() << "Another start of the program: bringing the main window to the front";
        mainWindow->raise();
        mainWindow->showNormal();
    }
}
