#include "ToolDelivery.h"

#include "Platform.h"
#include "WebSocketClient.h"

#include <QDebug>

ToolDelivery::ToolDelivery(
    const QString &title, const QString &programName, const QString &url, QObject *parent)
    : QObject(parent)
    , toolTitle(title)
    , toolProgramName(programName)
    , toolUrl(url)
    , connection(new WebSocketClient(this))
{
    connect(connection, &WebSocketClient::opened, this, &ToolDelivery::onOpened);
    connect(connection, &WebSocketClient::abandoned, this, &ToolDelivery::onAbandoned);
    connect(connection, &WebSocketClient::written, this, &ToolDelivery::sendReleased);
}

ToolDelivery::~ToolDelivery()
{
    if (!waiting.isEmpty())
        qDebug().noquote() << QStringLiteral("%1 commands for %2 not delivered: the program quit")
                                  .arg(waiting.size())
                                  .arg(toolTitle);
}

bool ToolDelivery::isRunning()
{
    if (connection->isConnected())
        return true;
    if (!runningCheckedAt.isValid() || runningCheckedAt.hasExpired(RunningCheckMs)) {
        runningAtCheck = Platform::isProgramRunning(toolProgramName, ProcessListingTimeoutMs);
        runningCheckedAt.start();
    }
    return runningAtCheck;
}

ToolDelivery::StartOutcome ToolDelivery::acceptStart(const QString &text, const QString &origin)
{
    if (!enqueue(text, origin, false))
        return StartOutcome::Refused;
    if (state == LaunchState::Launching)
        return StartOutcome::JoinsPendingLaunch;
    state = LaunchState::Launching;
    return StartOutcome::LaunchNeeded;
}

void ToolDelivery::acceptClose(const QString &text, const QString &origin)
{
    const bool behindPendingLaunch = !waiting.isEmpty() && !waiting.last().released;
    if (enqueue(text, origin, !behindPendingLaunch))
        sendReleased();
}

bool ToolDelivery::enqueue(const QString &text, const QString &origin, bool released)
{
    const qint64 bytes = text.toUtf8().size();
    // One command is always taken (the listeners cap a message at the same size as the bytes bound).
    const bool full = !waiting.isEmpty()
        && (waiting.size() >= MaxWaitingCommands || waitingBytes + bytes > MaxWaitingBytes);
    if (full) {
        if (refusedCount++ == 0)
            qDebug().noquote() << QStringLiteral(
                "Commands for %1 refused: %2 commands (%3 bytes) already wait")
                                      .arg(toolTitle)
                                      .arg(waiting.size())
                                      .arg(waitingBytes);
        return false;
    }
    waiting.append({ text, origin, bytes, released });
    waitingBytes += bytes;
    return true;
}

void ToolDelivery::releaseWaiting()
{
    for (WaitingCommand &command : waiting)
        command.released = true;
    sendReleased();
}

void ToolDelivery::handOver()
{
    state = LaunchState::Idle;
    releaseWaiting();
}

void ToolDelivery::awaitInstallation()
{
    state = LaunchState::AwaitingInstallation;
}

void ToolDelivery::dropWaitingLaunch(const QString &reason)
{
    state = LaunchState::Idle;
    dropWhere(false, reason);
    reportRefused();
}

// Sends the released commands at the front, in order, over the open connection, or opens it with the
// first of them. A tool that does not read keeps them here, within the bounds, rather than in the
// connection's unbounded write buffer.
void ToolDelivery::sendReleased()
{
    if (waiting.isEmpty() || !waiting.first().released || connection->isConnecting())
        return reportRefused();
    if (!connection->isConnected()) {
        firstInFlight = true;
        connection->connectTo(toolUrl, waiting.first().text, waiting.first().origin);
        return;
    }
    while (!waiting.isEmpty() && waiting.first().released && connection->isConnected()
        && connection->unwrittenBytes() < MaxUnwrittenBytes) {
        const WaitingCommand command = waiting.takeFirst();
        waitingBytes -= command.bytes;
        connection->sendTextMsg(command.text, command.origin);
    }
    reportRefused();
}

void ToolDelivery::onOpened()
{
    if (firstInFlight && !waiting.isEmpty())
        waitingBytes -= waiting.takeFirst().bytes;
    firstInFlight = false;
    sendReleased();
}

void ToolDelivery::onAbandoned(const QString &reason)
{
    firstInFlight = false;
    dropWhere(true, reason);
    reportRefused();
}

int ToolDelivery::dropWhere(bool released, const QString &reason)
{
    int dropped = 0;
    for (int i = waiting.size() - 1; i >= 0; --i) {
        if (waiting.at(i).released != released)
            continue;
        waitingBytes -= waiting.takeAt(i).bytes;
        ++dropped;
    }
    if (dropped > 0)
        qDebug().noquote()
            << QStringLiteral("%1 commands for %2 not delivered: %3").arg(dropped).arg(toolTitle, reason);
    return dropped;
}

void ToolDelivery::reportRefused()
{
    if (refusedCount == 0)
        return;
    qDebug().noquote() << QStringLiteral(
        "Refused %1 commands for %2: %3 commands or %4 bytes of text already "
        "waited")
                              .arg(refusedCount)
                              .arg(toolTitle)
                              .arg(MaxWaitingCommands)
                              .arg(MaxWaitingBytes);
    refusedCount = 0;
}
