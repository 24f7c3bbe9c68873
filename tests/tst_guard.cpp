// The single-instance guard inside the running copy: a second start brings the main window back to
// its normal state, from hidden (the tray) or minimised.
#include "Platform.h"
#include "SingleApplication.h"
#include "TestSupport.h"

#include <QFileInfo>
#include <QLocalSocket>
#include <QtTest>

class GuardTest : public QObject
{
    Q_OBJECT

public:
    explicit GuardTest(SingleApplication *application)
        : application(application)
    { }

private slots:
    void secondStart_bringsTheWindowBack_data()
    {
        QTest::addColumn<bool>("minimised");
        QTest::newRow("hidden to the tray") << false;
        QTest::newRow("minimised") << true;
    }

    void secondStart_bringsTheWindowBack()
    {
        QFETCH(bool, minimised);
        QVERIFY(!application->alreadyRunning());
        QWidget window;
        application->mainWindow = &window;
        window.show();
        if (minimised)
            window.showMinimized();
        else
            window.hide();
        QVERIFY(!window.isVisible() || window.isMinimized());

        // What a second copy does: connect, send nothing, go.
        QLocalSocket secondCopy;
        secondCopy.connectToServer(
            Platform::guardServerAddress(QFileInfo(QCoreApplication::applicationFilePath()).fileName()));
        QVERIFY(secondCopy.waitForConnected(2000));
        secondCopy.disconnectFromServer();

        QTRY_VERIFY_WITH_TIMEOUT(window.isVisible(), 5000);
        QTRY_VERIFY_WITH_TIMEOUT(!window.isMinimized(), 5000);
        QVERIFY(!(window.windowState() & Qt::WindowMinimized));
    }

private:
    SingleApplication *application;
};

int main(int argc, char **argv)
{
    TestEnvironment environment; // the guard's folder (Linux) before the guard starts
    SingleApplication application(argc, argv);
    GuardTest test(&application);
    return QTest::qExec(&test, argc, argv);
}

#include "tst_guard.moc"
