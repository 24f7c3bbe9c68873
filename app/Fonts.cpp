#include "Fonts.h"

#include <QFont>
#include <QStringList>

void installFontSubstitutes()
{
    const QStringList fallbacks = { QStringLiteral("Microsoft YaHei"), QStringLiteral("WenQuanYi Micro Hei"),
        QStringLiteral("Noto Sans CJK SC"), QStringLiteral("Droid Sans Fallback") };
    QFont::insertSubstitutions(QStringLiteral("Microsoft Yahei"), fallbacks);
    QFont::insertSubstitutions(QString::fromUtf8("微软雅黑"), fallbacks);
}
