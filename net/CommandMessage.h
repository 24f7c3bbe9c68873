#pragma once

// The command protocol of the portal's pages, apart from its transport: one JSON object per text
// message with the scene ("VantrelUseScene", a string) and the operation ("operationCommand").
#include <QString>

struct CommandMessage
{
    bool isObject = false; // the text is a JSON object
    bool hasScene = false; // the object has the key VantrelUseScene
    bool sceneIsString = false; // ... and its value is a string
    QString scene;
    QString operation; // empty when absent or not a string

    bool isCommand() const { return sceneIsString; }
    bool isClose() const { return operation == QLatin1String("closeTool"); }
    bool isForSignatureClient() const { return scene == QLatin1String("00"); }
};

CommandMessage parseCommandMessage(const QString &text);

// What the log file keeps of a page's message (LogFile::FileText): its scene, its operationCommand, its
// length and the page's origin where known, as in
//   Page message: scene "00", operationCommand "startTool", 88 characters, origin https://portal.example.com
// never the rest of the text, which may carry tokens and document data.
QString pageMessageSummary(const QString &text, const QString &origin);
