#include "ToolDelivery.h"

#include "Platform.h"
#include "WebSocketClient.h"

#include <QDebug>

#include <utility>

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
    connect(connection, &WebSocketClient::written, this, [this]() {
        settleWritten();
        sendReleased();
    });
    connect(connection, &WebSocketClient::closed, this, &ToolDelivery::onClosed);
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

ToolDelivery::StartOutcome ToolDelivery::acceptStart(
    const QString &text, const QString &origin, quint64 ticket)
{
    if (!enqueue(text, origin, false, false, ticket))
        return StartOutcome::Refused;
    if (state == LaunchState::Launching)
        return StartOutcome::JoinsPendingLaunch;
    state = LaunchState::Launching;
    return StartOutcome::LaunchNeeded;
}

void ToolDelivery::acceptClose(const QString &text, const QString &origin, quint64 ticket)
{
    if (!isRunning()) {
        if (ticket)
            emit settled(ticket, CommandOutcome::NotRunning, QStringLiteral("the tool does not run"));
        return;
    }
    const bool behindPendingLaunch = !waiting.isEmpty() && !waiting.last().released;
    if (enqueue(text, origin, !behindPendingLaunch, true, ticket))
        sendReleased();
}

bool ToolDelivery::enqueue(
    const QString &text, const QString &origin, bool released, bool close, quint64 ticket)
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
        if (ticket)
            emit settled(ticket, CommandOutcome::QueueFull,
                QStringLiteral("%1 commands or %2 bytes already wait for the tool")
                    .arg(MaxWaitingCommands)
                    .arg(MaxWaitingBytes));
        return false;
    }
    waiting.append({ text, origin, bytes, released, close, ticket });
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
    settleWhere(false, CommandOutcome::NotInstalled,
        QStringLiteral("the tool is not installed; the installation window is shown"));
}

void ToolDelivery::dropWaitingLaunch(const QString &reason)
{
    state = LaunchState::Idle;
    dropWhere(false, CommandOutcome::StartFailed, reason);
    reportRefused();
}

void ToolDelivery::reportLaunchFailure(const QString &reason)
{
    settleWhere(false, CommandOutcome::StartFailed, reason);
}

void ToolDelivery::settle(WaitingCommand &command, CommandOutcome outcome, const QString &detail)
{
    if (!command.ticket)
        return;
    const quint64 ticket = command.ticket;
    command.ticket = 0;
    emit settled(ticket, outcome, detail);
}

void ToolDelivery::settleWhere(bool released, CommandOutcome outcome, const QString &detail)
{
    for (WaitingCommand &command : waiting)
        if (command.released == released)
            settle(command, outcome, detail);
}

void ToolDelivery::handedOver(const WaitingCommand &command)
{
    if (!command.ticket)
        return;
    WaitingCommand receipt = command;
    receipt.text.clear(); // the connection has it; only the receipt waits here
    unwrittenReceipts.append(receipt);
    settleWritten();
}

void ToolDelivery::settleWritten()
{
    if (unwrittenReceipts.isEmpty() || !connection->isConnected() || connection->unwrittenBytes() > 0)
        return;
    const QList<WaitingCommand> written = std::exchange(unwrittenReceipts, {});
    for (WaitingCommand command : written)
        settle(command, command.close ? CommandOutcome::CloseForwarded : CommandOutcome::Delivered,
            QStringLiteral("written to the tool's listener"));
}

void ToolDelivery::onClosed()
{
    const QList<WaitingCommand> lost = std::exchange(unwrittenReceipts, {});
    for (WaitingCommand command : lost)
        settle(command, CommandOutcome::ToolUnreachable,
            QStringLiteral("the tool closed its connection before the command was written"));
    sendReleased();
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
        handedOver(command);
    }
    reportRefused();
}

void ToolDelivery::onOpened()
{
    if (firstInFlight && !waiting.isEmpty()) {
        const WaitingCommand first = waiting.takeFirst();
        waitingBytes -= first.bytes;
        handedOver(first);
    }
    firstInFlight = false;
    sendReleased();
}

void ToolDelivery::onAbandoned(const QString &reason)
{
    firstInFlight = false;
    dropWhere(true, CommandOutcome::ToolUnreachable, reason,
        QStringLiteral("the tool's listener took no connection, or it is another user's"));
    reportRefused();
}

int ToolDelivery::dropWhere(
    bool released, CommandOutcome outcome, const QString &reason, const QString &pageDetail)
{
    // Taken out first, then settled in arrival order.
    QList<WaitingCommand> droppedCommands;
    for (int i = waiting.size() - 1; i >= 0; --i) {
        if (waiting.at(i).released != released)
            continue;
        waitingBytes -= waiting.at(i).bytes;
        droppedCommands.prepend(waiting.takeAt(i));
    }
    const int dropped = droppedCommands.size();
    if (dropped > 0)
        qDebug().noquote()
            << QStringLiteral("%1 commands for %2 not delivered: %3").arg(dropped).arg(toolTitle, reason);
    for (WaitingCommand &command : droppedCommands)
        settle(command, outcome, pageDetail.isEmpty() ? reason : pageDetail);
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
