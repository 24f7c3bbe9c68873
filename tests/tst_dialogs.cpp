// The alert and update dialogs, answered as a user would, and the loading animation.
#include "AlertDialog.h"
#include "CheckDialog.h"
#include "LoadingIcon.h"
#include "Resources.h"
#include "TestSupport.h"

#include <QAbstractButton>
#include <QLabel>
#include <QtTest>

namespace {

QString labelText(QWidget *window, const char *name)
{
    auto *label = window->findChild<QLabel *>(name);
    return label ? label->text() : QString("<no label %1>").arg(name);
}

VersionInfoPtr record(bool hasUpdate)
{
    auto info = VersionInfoPtr::create();
    info->componentName = "Tessary签章客户端";
    info->versionName = "V1.0.6";
    info->fileUrl = "https://downloads.example.com/sign setup.exe";
    info->hasUpdate = hasUpdate;
    return info;
}

} // namespace

class DialogsTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { initProgramResources(); }

    void showAlert_actionButtonReturns4_closeReturns16_escapeCountsAsClose()
    {
        QString title;
        QString text;
        answerNextModal("toolButton_action", [&](QWidget *dialog) {
            title = labelText(dialog, "label_title");
            text = labelText(dialog, "label_text");
        });
        QCOMPARE(AlertDialog::showAlert(
                     nullptr, "安装提示", ":/img/dialog_question.png", "软件安装是否完成？", "已完成安装"),
            int(AlertDialog::ActionClicked));
        QCOMPARE(title, QString("安装提示"));
        QCOMPARE(text, QString("软件安装是否完成？"));

        answerNextModal("toolButton_close");
        QCOMPARE(AlertDialog::showAlert(nullptr, "t", ":/img/dialog_error.png", "x", "好的"),
            int(AlertDialog::CloseClicked));

        answerNextModal(QString());
        QCOMPARE(AlertDialog::showAlert(nullptr, "t", ":/img/dialog_error.png", "x", "好的"),
            int(AlertDialog::CloseClicked));
    }

    void showAlert_emptyTitleShowsNotice_textSelectableAndWrapped()
    {
        QString title;
        QString button;
        bool wraps = false;
        Qt::TextInteractionFlags interaction;
        Qt::WindowModality modality = Qt::NonModal;
        answerNextModal("toolButton_action", [&](QWidget *dialog) {
            title = labelText(dialog, "label_title");
            auto *text = dialog->findChild<QLabel *>("label_text");
            wraps = text->wordWrap();
            interaction = text->textInteractionFlags();
            button = dialog->findChild<QAbstractButton *>("toolButton_action")->text();
            modality = dialog->windowModality();
        });
        AlertDialog::showAlert(
            nullptr, QString(), ":/img/dialog_error.png", QString(300, QChar(0x94FE)), "知道了");
        QCOMPARE(title, QString("提示"));
        QCOMPARE(button, QString("知道了"));
        QVERIFY(wraps);
        QCOMPARE(interaction, Qt::TextInteractionFlags(Qt::TextSelectableByMouse));
        QCOMPARE(modality, Qt::ApplicationModal);
    }

    void alertDialog_longTextGrowsTheDialog()
    {
        AlertDialog shortOne(nullptr, "t", ":/img/dialog_error.png", "短", "好的");
        AlertDialog longOne(nullptr, "t", ":/img/dialog_error.png", QString(200, QChar(0x94FE)), "好的");
        QCOMPARE(shortOne.height(), 160);
        QVERIFY(longOne.height() > 160);
    }

    void alertDialog_dragsOnlyByTheTitleBar()
    {
        AlertDialog dialog(nullptr, "t", ":/img/dialog_error.png", "x", "好的");
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        const QPoint start = dialog.pos();
        QWidget *text = dialog.findChild<QWidget *>("widget_text");
        dragBy(&dialog, text->mapTo(&dialog, QPoint(10, 10)), QPoint(40, 30));
        QCOMPARE(dialog.pos(), start);
        QWidget *title = dialog.findChild<QWidget *>("widget_title");
        dragBy(&dialog, title->mapTo(&dialog, QPoint(30, 10)), QPoint(40, 30));
        QTRY_COMPARE(dialog.pos(), start + QPoint(40, 30));
    }

    void checkDialog_withUpdate_confirmOpensTheInstaller()
    {
        UrlRecorder browser;
        CheckDialog dialog;
        dialog.setVersionInfo(record(true));
        QCOMPARE(labelText(&dialog, "label_title"), QString("检测提示"));
        QCOMPARE(labelText(&dialog, "label_text"), QString("Tessary签章客户端有新版本，可升级"));
        QCOMPARE(labelText(&dialog, "label_version"), QString("版本：V1.0.6"));
        QVERIFY(!dialog.findChild<QWidget *>("toolButton_cancel")->isHidden());
        auto *confirm = dialog.findChild<QAbstractButton *>("toolButton_confirm");
        QCOMPARE(confirm->text(), QString("立即升级"));
        dialog.show();
        confirm->click();
        QVERIFY(!dialog.isVisible());
        QCOMPARE(browser.urls,
            QList<QUrl>({ QUrl("https://downloads.example.com/sign setup.exe", QUrl::TolerantMode) }));
    }

    // The service's names are shown as the text they are, never as markup.
    void checkDialog_serviceTextsWithMarkup_shownAsText_data()
    {
        QTest::addColumn<bool>("hasUpdate");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("version");
        QTest::newRow("update") << true << "<b>签章</b><img src='x.png'>有新版本，可升级"
                                << "版本：<i>V2</i>";
        QTest::newRow("up to date") << false << "<b>签章</b><img src='x.png'>已是最新版本"
                                    << "最新版本：<i>V2</i>";
    }

    void checkDialog_serviceTextsWithMarkup_shownAsText()
    {
        QFETCH(bool, hasUpdate);
        QFETCH(QString, text);
        QFETCH(QString, version);
        const VersionInfoPtr info = record(hasUpdate);
        info->componentName = "<b>签章</b><img src='x.png'>";
        info->versionName = "<i>V2</i>";
        CheckDialog dialog;
        dialog.setVersionInfo(info);
        QCOMPARE(shownText(dialog.findChild<QLabel *>("label_text")), text);
        QCOMPARE(shownText(dialog.findChild<QLabel *>("label_version")), version);
    }

    void checkDialog_upToDate_oneButtonThatOpensNothing()
    {
        UrlRecorder browser;
        CheckDialog dialog;
        dialog.setVersionInfo(record(false));
        QCOMPARE(labelText(&dialog, "label_text"), QString("Tessary签章客户端已是最新版本"));
        QCOMPARE(labelText(&dialog, "label_version"), QString("最新版本：V1.0.6"));
        QVERIFY(dialog.findChild<QWidget *>("toolButton_cancel")->isHidden());
        auto *confirm = dialog.findChild<QAbstractButton *>("toolButton_confirm");
        QCOMPARE(confirm->text(), QString("好的"));
        dialog.show();
        confirm->click();
        QVERIFY(!dialog.isVisible());
        QVERIFY(browser.urls.isEmpty());
    }

    void checkDialog_browserNotOpening_showsTheLinkThenCloses()
    {
        CheckDialog dialog; // no URL handler: the offscreen platform cannot open a browser
        dialog.setVersionInfo(record(true));
        dialog.show();
        QString alertText;
        answerNextModal(
            "toolButton_action", [&](QWidget *alert) { alertText = labelText(alert, "label_text"); });
        dialog.findChild<QAbstractButton *>("toolButton_confirm")->click();
        QCOMPARE(alertText,
            QString("打开网页失败，请手动复制链接到浏览器打开。\n链接：https://downloads.example.com/sign "
                    "setup.exe"));
        QVERIFY(!dialog.isVisible());
    }

    // Only http and https reach the browser: Windows would hand any other address to ShellExecute.
    void checkDialog_addressNotHttp_opensNothing_saysThereIsNone_data()
    {
        QTest::addColumn<QString>("address");
        QTest::newRow("file") << "file:///C:/Windows/System32/calc.exe";
        QTest::newRow("javascript") << "javascript:alert(document.cookie)";
        QTest::newRow("registered protocol") << "search-ms:query=setup&crumb=location:\\\\evil\\share";
        QTest::newRow("no scheme") << "setup.exe";
    }

    void checkDialog_addressNotHttp_opensNothing_saysThereIsNone()
    {
        QFETCH(QString, address);
        UrlRecorder browser;
        LogCapture log;
        const VersionInfoPtr info = record(true);
        info->fileUrl = address;
        CheckDialog dialog;
        dialog.setVersionInfo(info);
        dialog.show();
        QString alertText;
        answerNextModal(
            "toolButton_action", [&](QWidget *alert) { alertText = labelText(alert, "label_text"); });
        dialog.findChild<QAbstractButton *>("toolButton_confirm")->click();
        QCOMPARE(alertText, QString("下载地址获取失败！请重新检测"));
        QCOMPARE(browser.urls, QList<QUrl>());
        QVERIFY(!dialog.isVisible());
        QVERIFY(log.lines().contains("Not an http or https address, not opened: " + address));
    }

    void loadingIcon_startStopFinish()
    {
        LoadingIcon icon;
        QCOMPARE(icon.size(), QSize(40, 40));
        QVERIFY(icon.isAnimating());
        QTRY_VERIFY(icon.currentFrame() > 3);
        icon.stop();
        const int stoppedAt = icon.currentFrame();
        QTest::qWait(60);
        QCOMPARE(icon.currentFrame(), stoppedAt);
        QVERIFY(grabbed(icon)
            == QImage(":/img/loading/waiting.png").convertToFormat(QImage::Format_ARGB32_Premultiplied));

        icon.start();
        QVERIFY(icon.isAnimating());
        QTRY_VERIFY(icon.currentFrame() != stoppedAt); // resumes from where it stopped, no reset
        icon.finish();
        QVERIFY(!icon.isAnimating());
        QVERIFY(grabbed(icon)
            == QImage(":/img/loading/end.png").convertToFormat(QImage::Format_ARGB32_Premultiplied));
        icon.stop();
        QVERIFY(!icon.isAnimating());
        QVERIFY(grabbed(icon)
            == QImage(":/img/loading/waiting.png").convertToFormat(QImage::Format_ARGB32_Premultiplied));
    }

    void loadingIcon_startOnRunningIconKeepsItsTimer()
    {
        LoadingIcon icon;
        QTRY_VERIFY(icon.currentFrame() > 0);
        QList<int> frames;
        for (int i = 0; i < 5; ++i) {
            icon.start();
            frames << icon.currentFrame();
            QTest::qWait(20);
        }
        QVERIFY(frames.last() != frames.first());
        QVERIFY(icon.currentFrame() < 48);
    }

private:
    static QImage grabbed(QWidget &widget)
    {
        QImage image(40, 40, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        widget.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
        return image;
    }

    static void dragBy(QWidget *window, QPoint from, QPoint by)
    {
        QTest::mousePress(window, Qt::LeftButton, Qt::NoModifier, from);
        QMouseEvent move(QEvent::MouseMove, from + by, window->mapToGlobal(from + by), Qt::NoButton,
            Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(window, &move);
        QTest::mouseRelease(window, Qt::LeftButton, Qt::NoModifier, from + by);
    }
};

QTEST_MAIN(DialogsTest)
#include "tst_dialogs.moc"
