#pragma once

// Opening an installer address that the version service published, the one way the windows that offer
// an installer (the check window, the home window's cards, the update dialog) do it.
#include <QString>

class QWidget;

// Asks the browser to open fileUrl when it is an http or https address (downloadAddress). Anything
// else is no address: "下载地址获取失败！请重新检测" is shown. A browser that does not open shows the link
// to copy. True when the browser was asked and accepted.
bool openInstallerAddress(QWidget *parent, const QString &fileUrl);
