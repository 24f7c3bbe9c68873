#include "InstallerAddress.h"

#include "AlertDialog.h"
#include "VersionInfo.h"

#include <QDesktopServices>
#include <QUrl>

bool openInstallerAddress(QWidget *parent, const QString &fileUrl)
{
    const QUrl address = downloadAddress(fileUrl);
    if (address.isEmpty()) {
        AlertDialog::showAlert(parent, QString::fromUtf8("安装提示"),
            QStringLiteral(":/img/dialog_error.png"), QString::fromUtf8("下载地址获取失败！请重新检测"),
            QString::fromUtf8("知道了"));
        return false;
    }
    if (!QDesktopServices::openUrl(address)) {
        AlertDialog::showAlert(parent, QString::fromUtf8("异常提示"),
            QStringLiteral(":/img/dialog_error.png"),
            QString::fromUtf8("打开网页失败，请手动复制链接到浏览器打开。\n链接：") + fileUrl,
            QString::fromUtf8("好的"));
        return false;
    }
    return true;
}
