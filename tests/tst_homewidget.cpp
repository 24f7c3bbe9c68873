// The home window, its settings menu, the About window and the tray icon, against a version server
// on loopback and real entry files.
#include "AboutWidget.h"
#include "Constants.h"
#include "HomeWidget.h"
#include "LoopbackHttpServer.h"
#include "Resources.h"
#include "TestSupport.h"
#include "TrayIcon.h"
#include "UtilManager.h"

#include <QAbstractButton>
#include <QLabel>
#include <QMenu>
#include <QStackedWidget>
#include <QtTest>

namespace {

QByteArray reply(int number, const QString &name, const QString &component, const QString &url)
{
    return QString("{\"code\":200,\"data\":{\"versionNumber\":%1,\"versionName\":\"%2\",\"fileUrl\":\"%3\","
                   "\"fileName\":\"f.exe\",\"componentName\":\"%4\"}}")
        .arg(number)
        .arg(name, url, component)
        .toUtf8();
}

} // namespace

class HomeWidgetTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        initProgramResources();
        QVERIFY(versions.listen());
        versions.handler = [this](const LoopbackHttpRequest &request, QTcpSocket *socket) {
            if (!serviceUp) {
                LoopbackHttpServer::respond(socket, 503, "down");
                return;
            }
            const QString code
                = QUrlQuery(QUrl(QString::fromUtf8(request.target))).queryItemValue("componentCode");
            if (code == SignatureClientName)
                LoopbackHttpServer::respond(
                    socket, 200, reply(106, "V1.0.6", SignatureClientTitle, "https://dl/sign.exe"));
            else if (code == EncryptedClientName)
                LoopbackHttpServer::respond(
                    socket, 200, reply(203, encryptionVersion, encryptionTitle, encryptionUrl));
            else
                LoopbackHttpServer::respond(
                    socket, 200, reply(106, "V1.0.6", "Tessary检测安装工具", "https://dl/tool.exe"));
        };
        qputenv("VANTREL_VERSION_SERVICE_URL", versions.baseUrl().toUtf8());
    }

    void init()
    {
        environment.clearEntries();
        serviceUp = true;
        encryptionUrl = "https://dl/enc.exe";
        encryptionVersion = "V2.0.3";
        encryptionTitle = EncryptedClientTitle;
        QTest::qWait(300); // let the queries of the previous test's window arrive
        versions.requests.clear();
    }

    void cards_neitherInstalled_serviceDown()
    {
        serviceUp = false;
        HomeWidget home;
        QTRY_COMPARE(versions.requests.size(), 3);
        QStringList codes = queriedCodes(); // separate connections: arrival order is not sending order
        codes.sort();
        QCOMPARE(codes, QStringList({ DetectInstallToolName, EncryptedClientName, SignatureClientName }));
        QTest::qWait(100);
        QCOMPARE(text(home, "label_version_sign"), QString("暂无版本"));
        QCOMPARE(text(home, "pushButton_update_sign"), QString("立即下载"));
        QCOMPARE(text(home, "label_version_encypt"), QString("暂无版本"));
        QVERIFY(home.findChild<QLabel *>("label_install_sign")->isHidden());
        QVERIFY(home.findChild<QLabel *>("label_install_encypt")->isHidden());
    }

    void cards_oneInstalled_withReplies()
    {
        registerTool(environment, SignatureClientTitle, "/opt/sign", "1.0.5");
        HomeWidget home;
        QCOMPARE(text(home, "label_version_sign"), QString("V1.0.5"));
        QCOMPARE(text(home, "pushButton_update_sign"), QString("检查更新"));
        QVERIFY(!home.findChild<QLabel *>("label_install_sign")->isHidden());
        QTRY_VERIFY(home.encryptionRecord() && home.signatureRecord());
        QCOMPARE(text(home, "label_version_sign"), QString("V1.0.5")); // installed version stays
        QCOMPARE(text(home, "label_version_encypt"), QString("V2.0.3"));
        QCOMPARE(text(home, "pushButton_update_encypt"), QString("立即下载"));
        QVERIFY(home.findChild<QLabel *>("label_install_encypt")->isHidden());
    }

    void cards_bothInstalled()
    {
        registerTool(environment, SignatureClientTitle, "/opt/sign", "1.0.5");
        registerTool(environment, EncryptedClientTitle, "/opt/enc", "2.0.1");
        HomeWidget home;
        QTRY_VERIFY(home.encryptionRecord() && home.signatureRecord() && home.selfRecord());
        QCOMPARE(text(home, "label_version_encypt"), QString("V2.0.1"));
        QCOMPARE(text(home, "pushButton_update_encypt"), QString("检查更新"));
        QVERIFY(!home.findChild<QLabel *>("label_install_encypt")->isHidden());
    }

    void partialDisplayName_showsVAlone_andOffersTheUpdate()
    {
        environment.writeEntry("Uninstall", "enc",
            { { "DisplayName", EncryptedClientTitle + " (x64)" }, { "DisplayVersion", "2.0.3" },
                { "VersionNumber", "203" } });
        HomeWidget home;
        QCOMPARE(text(home, "label_version_encypt"), QString("V"));
        QTRY_VERIFY(home.encryptionRecord());
        QCOMPARE(text(home, "label_version_encypt"), QString("V"));
        bool offered = false;
        answerNextModal("toolButton_cancel", [&](QWidget *dialog) {
            offered = !dialog->findChild<QWidget *>("toolButton_cancel")->isHidden();
        });
        click(home, "pushButton_update_encypt");
        QVERIFY(offered);
    }

    void updateButton_noRecord_okSendsQuery_closeDoesNot()
    {
        serviceUp = false;
        HomeWidget home;
        QTRY_COMPARE(versions.requests.size(), 3);
        QString alertText;
        answerNextModal(
            "toolButton_action", [&](QWidget *alert) { alertText = label(*alert, "label_text"); });
        click(home, "pushButton_update_sign");
        QCOMPARE(alertText, QString("下载地址获取失败，请检查网络"));
        QTRY_COMPARE(versions.requests.size(), 4);
        QCOMPARE(queriedCodes().last(), SignatureClientName);

        answerNextModal("toolButton_close");
        click(home, "pushButton_update_encypt");
        QTest::qWait(200);
        QCOMPARE(versions.requests.size(), 4);
    }

    void updateButton_installedAndCurrent_dialogWithoutOffer_thenOneQuery()
    {
        registerTool(environment, SignatureClientTitle, "/opt/sign", "1.0.6");
        UrlRecorder browser; // an offer wrongly made opens nothing real
        HomeWidget home;
        QTRY_VERIFY(home.signatureRecord());
        QTRY_COMPARE(versions.requests.size(), 3);
        QString dialogText;
        bool cancelShown = true;
        answerNextModal("toolButton_confirm", [&](QWidget *dialog) {
            dialogText = label(*dialog, "label_text");
            cancelShown = !dialog->findChild<QWidget *>("toolButton_cancel")->isHidden();
        });
        click(home, "pushButton_update_sign");
        QCOMPARE(dialogText, QString("%1已是最新版本").arg(SignatureClientTitle));
        QVERIFY(!cancelShown);
        QVERIFY(browser.urls.isEmpty());
        QTRY_COMPARE(versions.requests.size(), 4);
        QTest::qWait(100);
        QCOMPARE(versions.requests.size(), 4);
    }

    void updateButton_installedAndOlder_offersTheUpgrade()
    {
        registerTool(environment, SignatureClientTitle, "/opt/sign", "1.0.5");
        UrlRecorder browser;
        HomeWidget home;
        QTRY_VERIFY(home.signatureRecord());
        QString version;
        answerNextModal(
            "toolButton_confirm", [&](QWidget *dialog) { version = label(*dialog, "label_version"); });
        click(home, "pushButton_update_sign");
        QCOMPARE(version, QString("版本：V1.0.6"));
        QCOMPARE(browser.urls, QList<QUrl>({ QUrl("https://dl/sign.exe") }));
    }

    void updateButton_notInstalled_opensTheInstaller_orShowsTheLink()
    {
        HomeWidget home;
        QTRY_VERIFY(home.encryptionRecord());
        QTRY_COMPARE(versions.requests.size(), 3);
        {
            UrlRecorder browser;
            click(home, "pushButton_update_encypt");
            QCOMPARE(browser.urls, QList<QUrl>({ QUrl("https://dl/enc.exe") }));
        }
        QTRY_COMPARE(versions.requests.size(), 4);
        QString alertText;
        answerNextModal(
            "toolButton_action", [&](QWidget *alert) { alertText = label(*alert, "label_text"); });
        click(home, "pushButton_update_encypt");
        QCOMPARE(alertText, QString("打开网页失败，请手动复制链接到浏览器打开。\n链接：https://dl/enc.exe"));
        QTRY_COMPARE(versions.requests.size(), 5);
    }

    // The service's names are shown as the text they are: markup in them once drew images and opened
    // the local files they named (on Windows a \\\\host\\share path reaches out to that host).
    void cards_serviceTextsWithMarkup_shownAsText()
    {
        encryptionTitle = "<b>加密</b><img src='" + QDir::tempPath() + "/enc.png'>";
        encryptionVersion = "<i>V2</i>";
        HomeWidget home;
        QTRY_VERIFY(home.encryptionRecord());
        QCOMPARE(shownText(home.findChild<QLabel *>("label_name_encypt")), encryptionTitle);
        QCOMPARE(shownText(home.findChild<QLabel *>("label_version_encypt")), encryptionVersion);
    }

    void updateButton_notInstalled_addressNotHttp_opensNothing_data()
    {
        QTest::addColumn<QString>("address");
        QTest::newRow("file") << "file:///C:/Users/Public/enc.exe";
        QTest::newRow("javascript") << "javascript:alert(1)";
        QTest::newRow("registered protocol") << "search-ms:query=enc";
        QTest::newRow("empty") << "";
    }

    void updateButton_notInstalled_addressNotHttp_opensNothing()
    {
        QFETCH(QString, address);
        encryptionUrl = address;
        HomeWidget home;
        QTRY_VERIFY(home.encryptionRecord());
        QTRY_COMPARE(versions.requests.size(), 3);
        UrlRecorder browser;
        QString alertText;
        answerNextModal(
            "toolButton_action", [&](QWidget *alert) { alertText = label(*alert, "label_text"); });
        click(home, "pushButton_update_encypt");
        QCOMPARE(alertText, QString("下载地址获取失败！请重新检测"));
        QCOMPARE(browser.urls, QList<QUrl>());
        QTRY_COMPARE(versions.requests.size(), 4); // asked again, as after any answer
    }

    void tabs_toolsSendsTwoQueries_consultNone()
    {
        HomeWidget home;
        QTRY_COMPARE(versions.requests.size(), 3);
        versions.requests.clear();
        click(home, "toolButton_help");
        QCOMPARE(home.findChild<QStackedWidget *>("stackedWidget")->currentIndex(), 1);
        QCOMPARE(home.findChild<QWidget *>("toolButton_help")->styleSheet(), QString(TAB_SELECTED_STYLE));
        QCOMPARE(home.findChild<QWidget *>("toolButton_tool")->styleSheet(), QString(TAB_NORMAL_STYLE));
        QTest::qWait(100);
        QVERIFY(versions.requests.isEmpty());
        click(home, "toolButton_tool");
        QCOMPARE(home.findChild<QStackedWidget *>("stackedWidget")->currentIndex(), 0);
        QCOMPARE(home.findChild<QWidget *>("toolButton_tool")->styleSheet(), QString(TAB_SELECTED_STYLE));
        QTRY_COMPARE(versions.requests.size(), 2);
        QTest::qWait(100);
        QStringList codes = queriedCodes();
        codes.sort();
        QCOMPARE(codes, QStringList({ EncryptedClientName, SignatureClientName }));
    }

    void contactButton_opensTheWebChat()
    {
        qputenv("VANTREL_WEBCHAT_URL", "https://chat.example.com/phone_webChat.html?accountId=1&chatId=2");
        UrlRecorder browser;
        HomeWidget home;
        click(home, "toolButton_contact");
        QCOMPARE(browser.urls,
            QList<QUrl>({ QUrl("https://chat.example.com/phone_webChat.html?accountId=1&chatId=2") }));
    }

    void settingsMenu_autoStartToggledTwice_returnsToFirstState()
    {
        UtilManager::setAutoStart(false);
        HomeWidget home;
        QVERIFY(!home.isAutoStartEnabled());
        for (bool expected : { true, false }) {
            QMenu *menu = home.buildSettingsMenu();
            const QList<QAction *> actions = menu->actions();
            QCOMPARE(actions.size(), 3);
            QCOMPARE(actions.at(0)->text(), QString("开机启动"));
            QCOMPARE(actions.at(1)->text(), QString("检查更新"));
            QCOMPARE(actions.at(2)->text(), QString("关于"));
            QCOMPARE(actions.at(0)->isChecked(), !expected);
            actions.at(0)->trigger();
            QCOMPARE(home.isAutoStartEnabled(), expected);
            QCOMPARE(UtilManager::isAutoStart(), expected);
            delete menu;
        }
    }

    void settingsButton_showsTheMenuNextToIt()
    {
        HomeWidget home;
        home.show();
        QStringList texts;
        QPoint shownAt;
        QTimer::singleShot(100, [&]() {
            auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
            if (!menu)
                return;
            for (QAction *action : menu->actions())
                texts << action->text();
            shownAt = menu->pos();
            menu->close();
        });
        click(home, "toolButton_setting");
        QCOMPARE(texts, QStringList({ "开机启动", "检查更新", "关于" }));
        QCOMPARE(shownAt, home.findChild<QWidget *>("toolButton_setting")->mapToGlobal(QPoint(-52, 44)));
    }

    void about_isModalAndShowsTheVersion()
    {
        HomeWidget home;
        QMenu *menu = home.buildSettingsMenu();
        menu->actions().at(2)->trigger();
        delete menu;
        const QList<AboutWidget *> windows = findAbout();
        QCOMPARE(windows.size(), 1);
        AboutWidget *about = windows.first();
        QVERIFY(about->isVisible());
        QCOMPARE(about->windowModality(), Qt::ApplicationModal);
        QCOMPARE(about->findChild<QLabel *>("label_version")->text(), AppVersion);
        about->findChild<QAbstractButton *>("toolButton_close")->click();
        QTRY_VERIFY(findAbout().isEmpty()); // a closed About window is gone
    }

    void checkSelfUpdate_withAndWithoutRecord()
    {
        serviceUp = false;
        HomeWidget home;
        QTRY_COMPARE(versions.requests.size(), 3);
        answerNextModal("toolButton_action");
        home.checkSelfUpdate();
        QTRY_COMPARE(versions.requests.size(), 4);
        QCOMPARE(queriedCodes().last(), DetectInstallToolName);

        serviceUp = true;
        home.onVersionResult(DetectInstallToolName,
            QString::fromUtf8(reply(106, "V1.0.6", "Tessary检测安装工具", "https://dl/t.exe")));
        // The installed version equals the published one: nothing to offer.
        environment.writeEntry(
            "Uninstall", "self", { { "DisplayName", "Tessary检测安装工具" }, { "DisplayVersion", "1.0.6" } });
        UrlRecorder browser;
        QString current;
        answerNextModal(
            "toolButton_confirm", [&](QWidget *dialog) { current = label(*dialog, "label_text"); });
        home.checkSelfUpdate();
        QCOMPARE(current, QString("Tessary检测安装工具已是最新版本"));
        QVERIFY(browser.urls.isEmpty());

        environment.writeEntry(
            "Uninstall", "self", { { "DisplayName", "Tessary检测安装工具" }, { "DisplayVersion", "1.0.5" } });
        QString text;
        answerNextModal("toolButton_cancel", [&](QWidget *dialog) { text = label(*dialog, "label_text"); });
        home.checkSelfUpdate();
        QCOMPARE(text, QString("Tessary检测安装工具有新版本，可升级"));
        QTest::qWait(100);
        QCOMPARE(versions.requests.size(), 4); // no query after the dialog
    }

    void closeButton_hidesTheWindow_minimiseMinimises()
    {
        HomeWidget home;
        home.bringToFront();
        QVERIFY(home.isVisible());
        click(home, "toolButton_min");
        QVERIFY(home.windowState() & Qt::WindowMinimized);
        home.bringToFront();
        QVERIFY(!(home.windowState() & Qt::WindowMinimized));
        click(home, "toolButton_close");
        QVERIFY(!home.isVisible());
    }

    void tray_entriesAndActivation()
    {
        HomeWidget home;
        TrayIcon *tray = TrayIcon::instance();
        QCOMPARE(tray, TrayIcon::instance());
        QStringList entries;
        for (QAction *action : tray->contextMenu()->actions())
            entries << action->text();
        QCOMPARE(entries, QStringList({ "主页面", "退出" }));
        QCOMPARE(tray->systemTrayIcon()->toolTip(), QString("Tessary检测安装工具"));

        home.hide();
        emit tray->systemTrayIcon()->activated(QSystemTrayIcon::Context);
        QVERIFY(!home.isVisible());
        emit tray->systemTrayIcon()->activated(QSystemTrayIcon::Trigger);
        QVERIFY(home.isVisible());
        home.showMinimized();
        emit tray->systemTrayIcon()->activated(QSystemTrayIcon::DoubleClick);
        QVERIFY(!(home.windowState() & Qt::WindowMinimized));
        home.hide();
        tray->contextMenu()->actions().at(0)->trigger();
        QVERIFY(home.isVisible());
    }

    void tray_exitRemovesTheIconAndEndsTheLoopWithZero()
    {
        HomeWidget home;
        TrayIcon *tray = TrayIcon::instance();
        QPointer<QSystemTrayIcon> icon = tray->systemTrayIcon();
        QTimer::singleShot(0, [tray]() { tray->contextMenu()->actions().at(1)->trigger(); });
        QTimer::singleShot(5000, []() { QCoreApplication::exit(1); }); // bound
        QCOMPARE(QCoreApplication::exec(), 0);
        QTRY_VERIFY(icon.isNull());
    }

private:
    static QString label(QWidget &window, const char *name)
    {
        auto *found = window.findChild<QLabel *>(name);
        return found ? found->text() : QString();
    }
    static QString text(QWidget &window, const char *name)
    {
        if (auto *button = window.findChild<QAbstractButton *>(name))
            return button->text();
        return label(window, name);
    }
    static void click(QWidget &window, const char *name)
    {
        window.findChild<QAbstractButton *>(name)->click();
    }
    static QList<AboutWidget *> findAbout()
    {
        QList<AboutWidget *> found;
        for (QWidget *widget : QApplication::topLevelWidgets())
            if (auto *about = qobject_cast<AboutWidget *>(widget))
                found << about;
        return found;
    }
    QStringList queriedCodes() const
    {
        QStringList codes;
        for (const LoopbackHttpRequest &request : versions.requests)
            codes << QUrlQuery(QUrl(QString::fromUtf8(request.target))).queryItemValue("componentCode");
        return codes;
    }

    TestEnvironment environment;
    LoopbackHttpServer versions;
    bool serviceUp = true;
    QString encryptionUrl;
    QString encryptionVersion;
    QString encryptionTitle;
};

QTEST_MAIN(HomeWidgetTest)
#include "tst_homewidget.moc"
