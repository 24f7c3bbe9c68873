#pragma once

// The environment check window: checks the network and the free disk space, then offers to install
// the tool of the current scene (install page), and after an installation starts the tool and hands
// it the browser's command.
//
// Decisions of ours:
// - A check that is asked for while one runs (a second launch request during the waits) does not
//   start a nested check: the running one goes on, and the window is brought to the front.
// - Outside Windows the disk texts name the mount point of the program's volume.
// - After an installation the started tool is handed the commands that waited for it (ToolDelivery),
//   not the last text a page sent. When the window hides (closed by the user, or after that hand-over),
//   commands still waiting for an installation are dropped with a log line.
// - The network and disk lines keep 8 px between icon, title and result, and end in a spacer; the tool
//   row has a spacer before its button. The form packs them with no spacing and no spacer: the 16 px
//   state icon then touches its title, and the labels share the row's width, so a short result ("正常")
//   drifts to the middle and the tool's name and version stretch to the button. Users read a state line
//   as "icon, what, result" from the left; the spacers keep it so at every width and DPI.
// - What the icons and colours show is said to screen readers too: a line's state image is named by the
//   state (检测中, 通过, 未通过), its title describes state and result, the step titles say which step
//   runs, and the install button which tool it installs. Qt announces each change of these texts.
// - By keyboard: Escape closes the window as its close button does. When a check ends, the button that
//   acts next (立即下载, or 重新检测 after a problem) takes the focus, so a keyboard user answers at once.
#include "VersionInfo.h"

#include <QPoint>
#include <QWidget>

namespace Ui {
class CheckWidget;
}

class QLabel;

class CheckWidget : public QWidget
{
    Q_OBJECT

public:
    explicit CheckWidget(QWidget *parent = nullptr);
    ~CheckWidget() override;

    // The tool the window checks and installs: the one whose launch opened it, whatever scene the
    // frames that came since name. Until a launch sets it, the current scene's tool.
    void setToolTitle(const QString &title);
    QString scene() const;
    void showAndCheck();
    void resetCheckView();
    void runCheck(bool launchAfterCheck);
    void onVersionResult(const QString &componentCode, const QString &body);
    void launchInstalledTool(const QString &title, const QString &url);

    bool isChecking() const { return checking; }
    VersionInfoPtr signatureRecord() const { return signVersion; }
    VersionInfoPtr encryptionRecord() const { return encryptVersion; }

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private slots:
    void on_toolButton_close_clicked();
    void on_toolButton_min_clicked();
    void on_toolButton_help_clicked();
    void on_toolButton_check_clicked();
    void on_toolButton_install_clicked();

private:
    enum class LineState { Checking, Passed, Failed };
    void setLine(QLabel *image, QLabel *title, QLabel *description, LineState state,
        const QString &passedText, const QString &failedText);
    void setNetworkLine(LineState state);
    void setDiskLine(LineState state, const QString &drive);
    void setStepsPassed(bool passed);
    void describeInstallButton();

    Ui::CheckWidget *ui;
    QPoint dragOffset;
    bool dragging = false;
    VersionInfoPtr signVersion;
    VersionInfoPtr encryptVersion;
    bool checking = false;
    QString toolScene;
};
