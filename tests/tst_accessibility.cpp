// Every window as a screen reader and a keyboard user meet it: each control that can be focused or pressed
// has a name, Tab runs in visual order from the default button, a focus ring shows once the keyboard moves
// the focus, Escape and Enter do what the buttons do, and what icons and colours show is said in words.
#include "AboutWidget.h"
#include "AlertDialog.h"
#include "CheckDialog.h"
#include "CheckWidget.h"
#include "HomeWidget.h"
#include "LoadingWidget.h"
#include "LoopbackHttpServer.h"
#include "Resources.h"
#include "TestSupport.h"
#include "TrayIcon.h"
#include "UtilManager.h"

#include <QAccessible>
#include <QFocusFrame>
#include <QMenu>
#include <QtTest>

namespace {

// The elements of a tree that can be focused or pressed and have no name.
QStringList unnamedControls(QObject *root)
{
    QStringList found;
    QAccessibleInterface *element = QAccessible::queryAccessibleInterface(root);
    const QAccessibleActionInterface *actions = element->actionInterface();
    if ((element->state().focusable || (actions && !actions->actionNames().isEmpty()))
        && element->text(QAccessible::Name).trimmed().isEmpty())
        found << root->objectName();
    for (int i = 0; i < element->childCount(); ++i)
        found << unnamedControls(element->child(i)->object());
    return found;
}

// What a screen reader says of an element: its name and its description.
QString said(QObject *element)
{
    QAccessibleInterface *face = QAccessible::queryAccessibleInterface(element);
    return (face->text(QAccessible::Name) + ' ' + face->text(QAccessible::Description)).trimmed();
}

// The focused control by the last word of its name ("close" for toolButton_close); "-" for none.
QString focused()
{
    QWidget *focus = QApplication::focusWidget();
    return focus ? focus->objectName().section('_', -1) : "-";
}

} // namespace

class AccessibilityTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        initProgramResources();
        QVERIFY(probe.listen());
        qputenv("VANTREL_VERSION_SERVICE_URL", "http://127.0.0.1:1");
        qputenv("VANTREL_DISK_FREE_BYTES", "99999999999");
    }

    void cleanup()
    {
        qDeleteAll(made);
        made.clear();
    }

    // trace: the window's name, then the focused control when it opens and after each key ("closed" once
    // hidden or gone, "answered" and the result for an alert). said: what a screen reader then says of
    // the controls named.
    void window_namedControls_keys_data()
    {
        QTest::addColumn<QString>("which");
        QTest::addColumn<QString>("keys");
        QTest::addColumn<QString>("trace");
        QTest::addColumn<QString>("said");
        // clang-format off
        QTest::newRow("home: Tab order, Escape hides") << "home" << "Tab Tab Tab Tab Tab Tab Tab Esc"
            << "Tessary检测安装工具: min close tool help setting sign encypt min closed"
            << "toolButton_tool=工具 当前页面";
        QTest::newRow("home: pages by Ctrl+Tab, Ctrl+PgDown, arrows") << "home" << "Ctrl+Tab Ctrl+PgDown Right"
            << "Tessary检测安装工具: min help tool help"
            << "toolButton_help=咨询 当前页面;toolButton_tool=工具 切换到此页面";
        QTest::newRow("home: settings menu by Space, About by Up and Enter") << "home" << "Tab Tab Tab Tab Space Up Return Esc"
            << "Tessary检测安装工具: min close tool help setting menu 设置: 开机启动 close -" << ""; // About closed
        QTest::newRow("home: settings menu by Down, closed by Escape") << "home" << "Tab Tab Tab Tab Down Down Esc"
            << "Tessary检测安装工具: min close tool help setting menu 设置: 开机启动 setting" << "";
        QTest::newRow("tray menu") << "tray menu" << "" << "Tessary检测安装工具: -" << "";
        QTest::newRow("about") << "about" << "Tab Esc" << "Tessary检测安装工具: close close closed" << "";
        QTest::newRow("check window, checks passed") << "check window" << "Tab Tab Tab Tab Tab Esc"
            << "Tessary检测安装工具: install help min close check install closed"
            << "label_net_title=网络链接检测 通过：连接服务器成功;img_net_state=通过;label_check=检测 已完成;"
               "label_install=安装 进行中";
        QTest::newRow("check window, network down") << "check window, network down" << ""
            << "Tessary检测安装工具: check"
            << "label_net_title=网络链接检测 未通过：连接服务器失败;img_net_state=未通过;label_check=检测 进行中";
        QTest::newRow("update dialog") << "update dialog" << "Tab Tab Tab Esc"
            << "检测提示: confirm close cancel confirm closed" << "";
        QTest::newRow("alert: Enter") << "alert" << "Return" << "安装提示: action answered 4" << "";
        QTest::newRow("alert: Space") << "alert" << "Space" << "安装提示: action answered 4" << "";
        QTest::newRow("alert: Tab, Enter") << "alert" << "Tab Enter" << "安装提示: action close answered 16" << "";
        QTest::newRow("alert: Escape") << "alert" << "Tab Tab Esc" << "安装提示: action close action answered 16" << "";
        QTest::newRow("launch window") << "launch window" << "" << "Tessary检测安装工具: -" << "progressBar=启动进度";
        // clang-format on
    }

    void window_namedControls_keys()
    {
        QFETCH(QString, which);
        QFETCH(QString, keys);
        QFETCH(QString, trace);
        QFETCH(QString, said);
        const QPointer<QWidget> window = open(which);
        QCOMPARE(unnamedControls(window), QStringList());
        QVERIFY(keys.isEmpty() || QTest::qWaitForWindowActive(window));
        QStringList seen { QAccessible::queryAccessibleInterface(window)->text(QAccessible::Name) + ':',
            focused() };
        auto *ring = window->findChild<QFocusFrame *>("focusRing");
        QVERIFY(!ring || !ring->isVisible()); // the window opens as it looked before
        QStringList rest = keys.split(' ', Qt::SkipEmptyParts);
        // A key that opens a menu returns once the menu has closed: the keys meanwhile go to the menu.
        QTimer menus;
        connect(&menus, &QTimer::timeout, [&]() {
            auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
            if (!menu)
                return;
            seen << "menu " + ::said(menu) + ':' << menu->activeAction()->text() << unnamedControls(menu);
            while (!rest.isEmpty() && QApplication::activePopupWidget() == menu)
                QTest::keySequence(menu, QKeySequence(rest.takeFirst()));
            menu->close(); // bound: keys that left it open must not hold the test
        });
        menus.start(50);
        while (!rest.isEmpty()) {
            const QString key = rest.takeFirst();
            QTest::keySequence(QApplication::focusWidget(), QKeySequence(key));
            QCoreApplication::processEvents(); // a window that opened takes the focus
            auto *alert = qobject_cast<AlertDialog *>(window);
            seen << (window && window->isVisible() ? focused()
                    : alert                        ? QString("answered %1").arg(alert->resultCode())
                                                   : "closed");
            const QWidget *focus = QApplication::focusWidget();
            QVERIFY(key != "Tab"
                || ring->geometry().contains(QRect(focus->mapTo(window, QPoint()), focus->size())));
            QVERIFY(key != "Tab" || ring->isVisible());
        }
        QCOMPARE(seen.join(' '), trace);
        for (const QString &control : said.split(';', Qt::SkipEmptyParts))
            QCOMPARE(
                ::said(window->findChild<QWidget *>(control.section('=', 0, 0))), control.section('=', 1));
    }

private:
    // A new window of the given kind, shown (the check window after a check).
    QWidget *open(const QString &which)
    {
        QWidget *window = nullptr;
        if (which == "home" || which == "tray menu")
            window = new HomeWidget;
        else if (which == "about")
            window = new AboutWidget;
        else if (which.startsWith("check window"))
            window = new CheckWidget;
        else if (which == "launch window")
            window = new LoadingWidget;
        else if (which == "alert")
            window = new AlertDialog(
                nullptr, "安装提示", ":/img/dialog_question.png", "软件安装是否完成？", "已完成安装");
        else {
            auto *dialog = new CheckDialog;
            auto info = VersionInfoPtr::create();
            info->hasUpdate = true;
            dialog->setVersionInfo(info);
            window = dialog;
        }
        made << window;
        if (which == "tray menu")
            return TrayIcon::instance()->contextMenu();
        window->show();
        qputenv("VANTREL_PROBE_URL",
            which.endsWith("network down") ? "http://127.0.0.1:1/" : probe.baseUrl().toUtf8());
        if (auto *check = qobject_cast<CheckWidget *>(window))
            check->runCheck(false);
        return window;
    }

    TestEnvironment environment;
    LoopbackHttpServer probe;
    QList<QPointer<QWidget>> made;
};

QTEST_MAIN(AccessibilityTest)
#include "tst_accessibility.moc"
