#pragma once

// The command protocol of the portal's pages, apart from its transport: one JSON object per text
// message with the scene ("VantrelUseScene", a string) and the operation ("operationCommand").
//
// Receipts are the page's choice: a command with a valid "requestId" gets one reply once its outcome is
// known, {"requestId", "outcome", "detail"}; a command without one gets nothing, as ever. A status query
// ({"operationCommand": "queryStatus", "requestId": ...} with no scene) is answered at once. The
// outcomes are a closed list (CommandOutcome); the detail is a short English text for the page's
// developers that never carries the command's text, a tool's address, a path or an uninstall entry.
#include <QJsonObject>
#include <QMetaType>
#include <QString>

// Longest request id a page may give; longer ones, or other characters than [A-Za-z0-9._:-], get no
// receipt.
constexpr int MaxRequestIdLength = 64;

enum class CommandOutcome {
    Delivered, // handed to the tool's listener
    NotInstalled, // the check window was shown; what happens after the installation is not reported
    StartFailed, // the launch failed (disk, network, the program did not start or ended at once)
    ToolUnreachable, // started, but its listener took no connection within the client's retry limit
    CloseForwarded, // a close command handed to its running tool
    NotRunning, // a close command for a tool that does not run
    QueueFull, // the tool's road already held its bound of waiting commands
    Refused, // the program is quitting, or a status query it may not answer
    Status, // the answer to a status query
};
Q_DECLARE_METATYPE(CommandOutcome)

struct CommandMessage
{
    bool isObject = false; // the text is a JSON object
    bool hasScene = false; // the object has the key VantrelUseScene
    bool sceneIsString = false; // ... and its value is a string
    QString scene;
    QString operation; // empty when absent or not a string
    QString requestId; // empty unless the page asked for a receipt with a valid id

    bool isCommand() const { return sceneIsString; }
    bool isClose() const { return operation == QLatin1String("closeTool"); }
    bool isForSignatureClient() const { return scene == QLatin1String("00"); }
    bool isStatusQuery() const
    {
        return !hasScene && operation == QLatin1String("queryStatus") && !requestId.isEmpty();
    }
};

CommandMessage parseCommandMessage(const QString &text);

// What the log file keeps of a page's message (LogFile::FileText): its scene, its operationCommand, its
// length and the page's origin where known, as in
//   Page message: scene "00", operationCommand "startTool", 88 characters, origin https://portal.example.com
// never the rest of the text, which may carry tokens and document data.
QString pageMessageSummary(const QString &text, const QString &origin);

bool isValidRequestId(const QString &id);
QString outcomeName(CommandOutcome outcome);
// The reply text for a request: its id, outcome and detail, then the fields of extra (a status answer).
QString receiptText(
    const QString &requestId, CommandOutcome outcome, const QString &detail, const QJsonObject &extra = {});
