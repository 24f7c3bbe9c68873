#pragma once

// The road of one managed tool's commands, from the portal's pages to the tool's own WebSocket: the
// commands that wait for the tool, the state of its launch and its own connection. There is one per
// tool (UtilManager::toolDelivery). The program's top feeds it the command server's commands; the launch
// window and the check window tell it how a launch ended. It asks the platform layer only (whether its
// tool runs) and reports by signals of its connection.
//
// Decisions of ours:
// - A tool receives exactly the text of the commands that asked for it: a frame that is not a command,
//   or a command for the other tool, never changes what this tool is handed.
// - Every accepted start command reaches the tool exactly once, in arrival order. Start commands that
//   arrive while a launch of the tool is pending join that launch: one launch, then every waiting
//   command over one connection. A command handed to the connection leaves the queue, so it is never
//   sent again: not when the tool drops the connection, not when a later command reconnects.
// - At most MaxWaitingCommands commands and MaxWaitingBytes of text (counted as UTF-8, as the page sent
//   it) wait per tool, and at most MaxUnwrittenBytes sit in the connection's write buffer (a tool that
//   does not read keeps the rest waiting). A command beyond that is refused; the first refusal is logged at
//   once, and one line counts the refused commands when the waiting ones leave (delivered or dropped).
// - A close command goes to this tool only, over its own connection, opened for it when there is none.
//   It waits behind start commands whose launch is still pending, so the tool sees them in order.
// - Whether the tool runs (a close command goes only to a running tool) needs no process listing while
//   its connection is open; otherwise the listing's answer is kept for RunningCheckMs. A page can send
//   thousands of close commands at once, and each listing costs milliseconds on Linux and a tasklist
//   start on Windows: the listeners would answer no page meanwhile.
// - Commands whose launch failed (too little disk, no network, the program did not start, its process
//   ended before it ran), or whose tool accepted no connection within the client's retry limit, are
//   dropped with a line that counts them and says why: a signing request should not reach a tool an
//   hour later. While the tool's installation is awaited, a start command asks for a launch again (which
//   brings the check window forward, or finds the tool installed meanwhile and hands everything over);
//   commands still waiting for an installation are dropped the same way when the check window hides.
// - A command that asked for a receipt carries a ticket (the server's, never 0) and the road says its
//   outcome once, by settled(): when it is handed to the tool's connection (delivered, closeForwarded),
//   refused by the bounds (queueFull), found to wait for an installation (notInstalled), or dropped:
//   with its launch (startFailed, said as soon as the launch is known to fail, before the user has read
//   the alert), after the client's retry limit, ConnectRetryLimitMs, or when the tool closes the
//   connection before it was written (toolUnreachable). "Handed" means written to the tool's connection:
//   a receipt waits until the connection has nothing left unwritten. A ticket is held only by a waiting
//   or unwritten command, so pending receipts stay within the bounds above. A tool that takes the
//   connection and then stops reading keeps its commands waiting, and their receipts pending, until it
//   reads, closes or the program quits (the server answers those). The page's detail is a fixed text:
//   the log's reasons may name users, processes and addresses.
// - When the tool closes the connection while commands wait, it is opened again for them (within the
//   same retry limit), rather than leaving them until the next command comes.
#include "CommandMessage.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>

class WebSocketClient;

constexpr int MaxWaitingCommands = 64;
constexpr qint64 MaxWaitingBytes = 16 * 1024 * 1024;
// Text handed to the tool's connection and not yet written, beyond which commands wait in the queue.
constexpr qint64 MaxUnwrittenBytes = 1024 * 1024;
// How long the answer of a listing of the running processes is kept for close commands.
constexpr int RunningCheckMs = 500;

class ToolDelivery : public QObject
{
    Q_OBJECT

public:
    enum class LaunchState {
        Idle, // no launch pending
        Launching, // a launch was asked for and has not ended
        AwaitingInstallation, // the launch found the tool missing; the check window has it
    };
    enum class StartOutcome {
        LaunchNeeded, // the caller asks the launch window for a launch
        JoinsPendingLaunch, // the pending launch hands it over
        Refused, // the bounds are reached
    };

    ToolDelivery(
        const QString &title, const QString &programName, const QString &url, QObject *parent = nullptr);
    ~ToolDelivery() override;

    QString title() const { return toolTitle; }
    QString programName() const { return toolProgramName; }
    QString url() const { return toolUrl; }
    LaunchState launchState() const { return state; }
    int waitingCount() const { return waiting.size(); }
    WebSocketClient *client() const { return connection; }

    // Whether the tool's program runs, for a close command.
    bool isRunning();
    // origin: the page's, where known; it travels with the command for the log file's summary. ticket:
    // non-zero when the page asked for a receipt.
    StartOutcome acceptStart(const QString &text, const QString &origin = QString(), quint64 ticket = 0);
    // A close command goes to the tool only when it runs.
    void acceptClose(const QString &text, const QString &origin = QString(), quint64 ticket = 0);

    // The launch's outcomes.
    void releaseWaiting(); // the tool's process runs: everything waiting goes to the tool, in order
    void handOver(); // ... and the launch has ended
    void awaitInstallation(); // the tool is missing: its commands wait for the check window's hand-over
    void dropWaitingLaunch(const QString &reason); // the launch failed: its commands are dropped
    // The launch is failing (its alert is about to show): the waiting commands' receipts say so now.
    void reportLaunchFailure(const QString &reason);

signals:
    // The outcome of the command that carried ticket; said once per ticket.
    void settled(quint64 ticket, CommandOutcome outcome, const QString &detail);

private:
    struct WaitingCommand
    {
        QString text;
        QString origin;
        qint64 bytes;
        bool released; // its launch has handed over (or it needs none)
        bool close;
        quint64 ticket; // 0: no receipt, or its receipt was sent
    };

    bool enqueue(const QString &text, const QString &origin, bool released, bool close, quint64 ticket);
    void settle(WaitingCommand &command, CommandOutcome outcome, const QString &detail);
    void settleWhere(bool released, CommandOutcome outcome, const QString &detail);
    void handedOver(const WaitingCommand &command);
    void settleWritten();
    void onClosed();
    void sendReleased();
    void onOpened();
    void onAbandoned(const QString &reason);
    void reportRefused();
    int dropWhere(
        bool released, CommandOutcome outcome, const QString &reason, const QString &pageDetail = QString());

    QString toolTitle;
    QString toolProgramName;
    QString toolUrl;
    WebSocketClient *connection;
    LaunchState state = LaunchState::Idle;
    QList<WaitingCommand> waiting;
    QList<WaitingCommand> unwrittenReceipts; // handed to the connection, not yet written
    qint64 waitingBytes = 0;
    int refusedCount = 0;
    QElapsedTimer runningCheckedAt;
    bool runningAtCheck = false;
    bool firstInFlight = false; // the connection being opened carries the first waiting command
};
