#pragma once

// The application object with the single-instance guard: a local server named after the
// executable's file name, only this user may connect to. A second copy connects to it and exits; the
// first copy then brings its main window to the front. A server of another user's process under that
// name is no copy of ours: this copy then starts as usual.
//
// Where the guard lives (Platform::guardServerAddress): on Windows a pipe name that carries the user and
// the session; on Linux a folder of this user's alone (owned by the user, mode 0700, not a link):
// $XDG_RUNTIME_DIR when it is such a folder, else $XDG_STATE_HOME/VantrelDetectInstallTool (by default
// ~/.local/state/..., beside the logs), else $TMPDIR/vantrel-<uid>. A name under a shared folder that
// another user made first never blocks the program.
//
// A copy started with QuitArgument ("--quit") instead asks the running copy to quit as the tray's
// "退出" does: it writes QuitRequest over the guard connection and waits (bounded by QuitWaitMs)
// until the guard is gone, then exits. The uninstaller uses it to end a running copy before it
// removes the files; with no copy running it simply exits.
#include <QApplication>
#include <QPointer>

class QLocalServer;
class QLocalSocket;

class SingleApplication : public QApplication
{
    Q_OBJECT

public:
    SingleApplication(int &argc, char **argv);

    static const char QuitArgument[];
    static const char QuitRequest[];
    static const int QuitWaitMs = 15000;

    // True when another copy answered (this copy then only exits), also for a quit request.
    bool alreadyRunning() const;

    QPointer<QWidget> mainWindow;

private slots:
    void NewLocalConnection();

private:
    void probeRunningInstance();
    void startGuardServer();
    bool connectToGuard(QLocalSocket &socket, int timeoutMs) const;
    bool isOwnCopy(QLocalSocket &socket) const;
    void askRunningCopyToQuit(QLocalSocket &socket);

    QLocalServer *guardServer = nullptr;
    QString serverName;
    bool running = false;
    bool quitting = false;
};
