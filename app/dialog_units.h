// Dialog units to pixels, as the platform converts dialog templates: a horizontal unit is a
// quarter of the font's average character width (of the Latin letters), a vertical unit an eighth
// of its character height.
#pragma once

#include <QFont>
#include <QRect>
#include <QSize>

namespace quarvo {

struct DialogUnits {
    int baseX = 8;
    int baseY = 16;

    static DialogUnits forFont(const QFont& font);
    int x(int units) const { return (units * baseX + 2) / 4; }
    int y(int units) const { return (units * baseY + 4) / 8; }
    QRect rect(int left, int top, int width, int height) const
    {
        return {x(left), y(top), x(width), y(height)};
    }
    QSize size(int width, int height) const { return {x(width), y(height)}; }
};

// The dialog's font: the face of the template where installed, else a Traditional Chinese face of
// the same kind.
QFont dialogFont();      // sans-serif, for the main dialog
QFont aboutDialogFont(); // regular script, for the About box

} // namespace quarvo
