#pragma once

// The application object with the single-instance guard: a local server named after the
// executable's file name. A second copy connects to it and exits; the first copy then brings its
// main window to the front.
#include <QApplication>
#include <QPointer>

class QLocalServer;

class SingleApplication : public QApplication
{
    Q_OBJECT

public:
    SingleApplication(int &argc, char **argv);

    bool alreadyRunning() const;

    QPointer<QWidget> mainWindow;

private slots:
    void NewLocalConnection();

private:
    void probeRunningInstance();
    void startGuardServer();

    QLocalServer *guardServer = nullptr;
    QString serverName;
    bool running = false;
};
