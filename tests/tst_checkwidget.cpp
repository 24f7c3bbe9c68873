// The environment check window and its installation flow, with a real probe server, a real version
// server on loopback, real entry files and a real sample tool started by the window.
#include "CheckWidget.h"
#include "Constants.h"
#include "LoadingIcon.h"
#include "LoopbackHttpServer.h"
#include "Platform.h"
#include "Resources.h"
#include "TestSupport.h"
#include "ToolDelivery.h"
#include "UtilManager.h"

#include <QAbstractButton>
#include <QLabel>
#include <QProgressBar>
#include <QStackedWidget>
#include <QtTest>

class CheckWidgetTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        initProgramResources();
        QVERIFY(probe.listen());
        QVERIFY(versions.listen());
        versions.handler = [this](const LoopbackHttpRequest &request, QTcpSocket *socket) {
            const bool signature = request.target.contains("VantrelSignatureClient");
            const QByteArray url = fileUrl;
            const QByteArray body = "{\"code\":200,\"data\":{\"versionNumber\":106,\"versionName\":\""
                + versionName + "\",\"fileUrl\":\"" + url + "\",\"componentName\":\""
                + (!title.isEmpty() ? title
                                    : (signature ? SignatureClientTitle : EncryptedClientTitle).toUtf8())
                + "\"}}";
            LoopbackHttpServer::respond(socket, 200, body);
        };
        qputenv("VANTREL_VERSION_SERVICE_URL", versions.baseUrl().toUtf8());
    }

    void init()
    {
        qputenv("VANTREL_PROBE_URL", probe.baseUrl().toUtf8() + "/");
        qputenv("VANTREL_DISK_FREE_BYTES", "99999999999");
        fileUrl = "https://downloads.example.com/setup.exe";
        versionName = "V1.0.6";
        title.clear();
        environment.clearEntries();
        UtilManager::instance()->useScene = "01";
        UtilManager::instance()->lastMessage = "{\"VantrelUseScene\":\"01\"}";
    }

    void bothChecksPass_showsTheInstallPage()
    {
        CheckWidget window;
        window.show();
        QList<int> progress;
        QTimer sampler;
        connect(&sampler, &QTimer::timeout, [&]() { progress << bar(window)->value(); });
        sampler.start(100);
        window.resetCheckView();
        QVERIFY(!button(window, "toolButton_check")->isEnabled());
        QCOMPARE(button(window, "toolButton_check")->text(), QString("检测中"));
        window.runCheck(false);
        sampler.stop();

        QVERIFY(progress.contains(0) && progress.contains(30));
        QCOMPARE(bar(window)->value(), 60);
        QCOMPARE(page(window), 1);
        QCOMPARE(label(window, "label_net_desc")->text(), QString("连接服务器成功"));
        QCOMPARE(label(window, "label_net_desc")->styleSheet(), QString("color: #00943E"));
        QCOMPARE(label(window, "label_disk_desc")->text(),
            QString("工作目录所在磁盘(%1)剩余空间充足").arg(Platform::programDrive()));
        QCOMPARE(
            label(window, "label_progress")->text(), QString("安装%1，完成检测…").arg(EncryptedClientTitle));
        QCOMPARE(label(window, "label_check")->styleSheet(), QString("color: #969AA0"));
        QCOMPARE(label(window, "label_install")->styleSheet(), QString("color: #3461FF"));
        QVERIFY(button(window, "toolButton_check")->isEnabled());
        QCOMPARE(button(window, "toolButton_check")->text(), QString("重新检测"));
        QVERIFY(!window.findChild<LoadingIcon *>("widget_loading")->isAnimating());
        // The reply to the query sent at the start fills the row.
        QTRY_VERIFY(window.encryptionRecord());
        QCOMPARE(label(window, "label_app_version")->text(), QString("V1.0.6"));
        QCOMPARE(label(window, "label_app_title")->text(), EncryptedClientTitle);
    }

    // The service's names are shown as the text they are, never as markup (which loaded the local files
    // its images named).
    void serviceTextsWithMarkup_shownAsText()
    {
        title = "<b>加密</b><img src='" + QDir::tempPath().toUtf8() + "/enc.png'>";
        versionName = "<i>V2</i>";
        qputenv("VANTREL_PROBE_URL", "http://127.0.0.1:1/"); // the row keeps the service's names
        CheckWidget window;
        window.resetCheckView();
        window.runCheck(false);
        QTRY_VERIFY(window.encryptionRecord());
        QCOMPARE(shownText(label(window, "label_app_title")), QString::fromUtf8(title));
        QCOMPARE(shownText(label(window, "label_app_version")), QString::fromUtf8(versionName));
    }

    void networkFails_redLineAndSummary_noLaunchEvenInLaunchMode()
    {
        qputenv("VANTREL_PROBE_URL", "http://127.0.0.1:1/");
        registerTool(environment, EncryptedClientTitle, SAMPLE_ENCRYPTED_CLIENT);
        CheckWidget window;
        window.show();
        window.resetCheckView();
        window.runCheck(true);
        QCOMPARE(label(window, "label_net_desc")->text(), QString("连接服务器失败"));
        QCOMPARE(label(window, "label_net_title")->styleSheet(), QString("color: #C71023"));
        QCOMPARE(label(window, "label_disk_desc")->styleSheet(), QString("color: #00943E"));
        QCOMPARE(label(window, "label_progress")->text(), QString("基础环境存在问题，请修复后重新检测"));
        QCOMPARE(bar(window)->value(), 60);
        QCOMPARE(page(window), 0);
        QTest::qWait(300);
        QVERIFY(!UtilManager::isToolRunning(EncryptedClientName));
    }

    void diskFails_namesTheDrive()
    {
        qputenv("VANTREL_DISK_FREE_BYTES", "5369757695");
        CheckWidget window;
        window.resetCheckView();
        window.runCheck(false);
        QCOMPARE(label(window, "label_net_desc")->text(), QString("连接服务器成功"));
        QCOMPARE(label(window, "label_disk_desc")->text(),
            QString("工作目录所在磁盘(%1)剩余空间不足").arg(Platform::programDrive()));
        QCOMPARE(label(window, "label_disk_desc")->styleSheet(), QString("color: #C71023"));
        QCOMPARE(page(window), 0);
        QCOMPARE(label(window, "label_check")->styleSheet(), QString("color: #3461FF"));
    }

    void install_withoutAddress_reportsIt_data()
    {
        QTest::addColumn<QString>("scene");
        QTest::addColumn<bool>("replyFirst");
        QTest::addColumn<QByteArray>("address");
        QTest::newRow("no record") << "01" << false << QByteArray("https://x/setup.exe");
        QTest::newRow("empty fileUrl") << "01" << true << QByteArray();
        QTest::newRow("scene other than 00 and 01") << "02" << true << QByteArray("https://x/setup.exe");
    }

    void install_withoutAddress_reportsIt()
    {
        QFETCH(QString, scene);
        QFETCH(bool, replyFirst);
        QFETCH(QByteArray, address);
        fileUrl = address;
        CheckWidget window;
        if (replyFirst) {
            window.onVersionResult(
                EncryptedClientName, "{\"code\":200,\"data\":{\"fileUrl\":\"" + address + "\"}}");
            window.onVersionResult(
                SignatureClientName, "{\"code\":200,\"data\":{\"fileUrl\":\"" + address + "\"}}");
        }
        UtilManager::instance()->useScene = scene;
        UrlRecorder browser;
        QString text;
        answerNextModal(
            "toolButton_action", [&](QWidget *alert) { text = label(*alert, "label_text")->text(); });
        button(window, "toolButton_install")->click();
        QCOMPARE(text, QString("下载地址获取失败！请重新检测"));
        QVERIFY(browser.urls.isEmpty());
    }

    // The version service's address is opened only when it is http or https; anything else is no
    // address at all.
    void install_addressNotHttp_opensNothing_data()
    {
        QTest::addColumn<QByteArray>("address");
        QTest::newRow("file") << QByteArray("file:///C:/Users/Public/setup.exe");
        QTest::newRow("javascript") << QByteArray("javascript:alert(1)");
        QTest::newRow("registered protocol") << QByteArray("search-ms:query=setup");
        QTest::newRow("http without host") << QByteArray("http:setup.exe");
        QTest::newRow("a scheme that starts as http") << QByteArray("httpx://host/setup.exe");
        QTest::newRow("https and more") << QByteArray("https+app://host/setup.exe");
    }

    void install_addressNotHttp_opensNothing()
    {
        QFETCH(QByteArray, address);
        fileUrl = address;
        CheckWidget window;
        window.show();
        window.runCheck(false);
        QTRY_VERIFY(window.encryptionRecord());
        QCOMPARE(window.encryptionRecord()->fileUrl, QString::fromUtf8(address));
        UrlRecorder browser;
        LogCapture log;
        QString text;
        answerNextModal(
            "toolButton_action", [&](QWidget *alert) { text = label(*alert, "label_text")->text(); });
        button(window, "toolButton_install")->click();
        QCOMPARE(text, QString("下载地址获取失败！请重新检测"));
        QCOMPARE(browser.urls, QList<QUrl>());
        QVERIFY(log.lines().contains("Not an http or https address, not opened: " + address));
    }

    void install_browserNotOpening_showsTheLink()
    {
        CheckWidget window;
        window.onVersionResult(
            EncryptedClientName, "{\"code\":200,\"data\":{\"fileUrl\":\"https://x/s.exe\"}}");
        QString text;
        answerNextModal(
            "toolButton_action", [&](QWidget *alert) { text = label(*alert, "label_text")->text(); });
        button(window, "toolButton_install")->click();
        QCOMPARE(text, QString("打开网页失败，请手动复制链接到浏览器打开。\n链接：https://x/s.exe"));
    }

    void install_questionClosed_startsNoCheck()
    {
        CheckWidget window;
        window.show();
        window.runCheck(false);
        QTRY_VERIFY(window.encryptionRecord());
        const int queries = versions.requests.size();
        UrlRecorder browser;
        answerNextModal("toolButton_close");
        button(window, "toolButton_install")->click();
        QCOMPARE(browser.urls, QList<QUrl>({ QUrl("https://downloads.example.com/setup.exe") }));
        QCOMPARE(page(window), 1);
        QTest::qWait(200);
        QCOMPARE(versions.requests.size(), queries);
        QCOMPARE(bar(window)->value(), 60);
    }

    void install_finishedButToolStillMissing_endsOnTheInstallPageAgain()
    {
        CheckWidget window;
        window.show();
        window.runCheck(false);
        QTRY_VERIFY(window.encryptionRecord());
        UrlRecorder browser;
        answerNextModal("toolButton_action");
        button(window, "toolButton_install")->click();
        QCOMPARE(page(window), 1);
        QCOMPARE(
            label(window, "label_progress")->text(), QString("安装%1，完成检测…").arg(EncryptedClientTitle));
        QCOMPARE(bar(window)->value(), 60);
        QVERIFY(window.isVisible());
    }

    void install_finished_startsTheToolAndHandsOverTheMessage()
    {
        const QString record = environment.root() + "/signature-frames.txt";
        qputenv("VANTREL_SAMPLE_RECORD", record.toUtf8());
        qputenv("VANTREL_SAMPLE_LISTEN_DELAY_MS", "400");
        registerTool(environment, SignatureClientTitle, SAMPLE_SIGNATURE_CLIENT);
        const QString message
            = "{\"VantrelUseScene\":\"00\",\"operationCommand\":\"startTool\",\"token\":\"中\"}";
        // The command waits for the tool's installation; a frame that came later is no command, and a
        // later one names the other scene: the window stays with the tool it was opened for.
        ToolDelivery *tool = UtilManager::instance()->toolDelivery("00");
        QCOMPARE(tool->acceptStart(message), ToolDelivery::StartOutcome::LaunchNeeded);
        tool->awaitInstallation();
        UtilManager::instance()->lastMessage = "not a command";
        UtilManager::instance()->useScene = "01";
        CheckWidget window;
        window.setToolTitle(SignatureClientTitle);
        window.show();
        window.runCheck(false);
        QTRY_VERIFY(window.signatureRecord());
        UrlRecorder browser;
        answerNextModal("toolButton_action");
        button(window, "toolButton_install")->click();
        QCOMPARE(bar(window)->value(), 100);
        QCOMPARE(label(window, "label_progress")->text(), QString("检测完成"));
        QVERIFY(window.isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(!window.isVisible(), 3000);
        QTRY_COMPARE_WITH_TIMEOUT(readRecordedFrames(record), QStringList({ message }), 10000);
        killProgramsNamed(SignatureClientName);
        qunsetenv("VANTREL_SAMPLE_RECORD");
        qunsetenv("VANTREL_SAMPLE_LISTEN_DELAY_MS");
    }

    void launch_pathThatCannotStart_showsTheLaunchAlert()
    {
        environment.writeEntry("Uninstall", "enc",
            { { "DisplayName", EncryptedClientTitle }, { "InstallLocation", environment.root() } });
        CheckWidget window;
        window.show();
        QString text;
        answerNextModal(
            "toolButton_action", [&](QWidget *alert) { text = label(*alert, "label_text")->text(); });
        window.resetCheckView();
        window.runCheck(true);
        QCOMPARE(text, QString("软件启动失败！请重新安装%1").arg(EncryptedClientTitle));
        QCOMPARE(page(window), 1);
        QVERIFY(button(window, "toolButton_check")->isEnabled());
        QVERIFY(window.isVisible());
    }

    void showAndCheck_runsACheckWithoutLaunch_afterHalfASecond()
    {
        registerTool(environment, EncryptedClientTitle, SAMPLE_ENCRYPTED_CLIENT);
        CheckWidget window;
        window.showAndCheck();
        QVERIFY(window.isVisible());
        QCOMPARE(bar(window)->value(), 0);
        QElapsedTimer elapsed;
        elapsed.start();
        QTRY_COMPARE_WITH_TIMEOUT(page(window), 1, 15000); // the check runs inside this wait
        QVERIFY(elapsed.elapsed() >= 2500); // 500 ms, then two 1000 ms steps
        QCOMPARE(bar(window)->value(), 60);
        QTest::qWait(300);
        QVERIFY(!UtilManager::isToolRunning(EncryptedClientName));
    }

    void titleButtons_helpOpensWebChat_closeHides()
    {
        qputenv("VANTREL_WEBCHAT_URL", "https://chat.example.com/phone_webChat.html?accountId=a&chatId=c");
        UrlRecorder browser;
        CheckWidget window;
        window.show();
        button(window, "toolButton_help")->click();
        QCOMPARE(browser.urls,
            QList<QUrl>({ QUrl("https://chat.example.com/phone_webChat.html?accountId=a&chatId=c") }));
        button(window, "toolButton_close")->click();
        QVERIFY(!window.isVisible());
    }

    void replies_lastOneWritesTheRow_unusableOneEmptiesTheRecord()
    {
        CheckWidget window;
        window.onVersionResult(SignatureClientName,
            "{\"code\":200,\"data\":{\"versionName\":\"V2\",\"componentName\":\"签章\",\"fileUrl\":\"u\"}}");
        QCOMPARE(label(window, "label_app_title")->text(), QString("签章"));
        window.onVersionResult(SignatureClientName, "not json");
        QVERIFY(!window.signatureRecord());
        QCOMPARE(label(window, "label_app_version")->text(), QString("V2"));
        UtilManager::instance()->useScene = "00";
        QString text;
        answerNextModal(
            "toolButton_action", [&](QWidget *alert) { text = label(*alert, "label_text")->text(); });
        button(window, "toolButton_install")->click();
        QCOMPARE(text, QString("下载地址获取失败！请重新检测"));
    }

private:
    static QLabel *label(QWidget &window, const char *name) { return window.findChild<QLabel *>(name); }
    static QAbstractButton *button(QWidget &window, const char *name)
    {
        return window.findChild<QAbstractButton *>(name);
    }
    static QProgressBar *bar(QWidget &window) { return window.findChild<QProgressBar *>("progressBar"); }
    static int page(QWidget &window)
    {
        return window.findChild<QStackedWidget *>("stackedWidget")->currentIndex();
    }

    TestEnvironment environment;
    LoopbackHttpServer probe;
    LoopbackHttpServer versions;
    QByteArray fileUrl;
    QByteArray versionName;
    QByteArray title; // the service's componentName when not empty
};

QTEST_MAIN(CheckWidgetTest)
#include "tst_checkwidget.moc"
