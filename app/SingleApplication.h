#pragma once

// The application object with the single-instance guard: a local server named after the
// executable's file name. A second copy connects to it and exits; the first copy then brings its
// main window to the front.
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
    void askRunningCopyToQuit(QLocalSocket &socket);

    QLocalServer *guardServer = nullptr;
    QString serverName;
    bool running = false;
    bool quitting = false;
};
