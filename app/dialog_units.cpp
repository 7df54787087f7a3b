#include "dialog_units.h"

#include <QFontMetrics>
#include <QStringList>

namespace quarvo {

DialogUnits DialogUnits::forFont(const QFont& font)
{
    const QFontMetrics metrics(font);
    const int letters = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    return {(letters / 26 + 1) / 2, metrics.height()};
}

static QFont faceWithFallbacks(const QStringList& families)
{
    QFont font;
    font.setFamilies(families);
    font.setPointSize(9);
    return font;
}

QFont dialogFont()
{
    return faceWithFallbacks({QStringLiteral("微軟正黑體"), QStringLiteral("Microsoft JhengHei"),
                              QStringLiteral("Noto Sans CJK TC"), QStringLiteral("Noto Sans TC"),
                              QStringLiteral("WenQuanYi Zen Hei")});
}

QFont aboutDialogFont()
{
    return faceWithFallbacks({QStringLiteral("標楷體"), QStringLiteral("DFKai-SB"),
                              QStringLiteral("AR PL UKai TW"), QStringLiteral("AR PL UKai TW MBE"),
                              QStringLiteral("Noto Serif CJK TC")});
}

} // namespace quarvo
