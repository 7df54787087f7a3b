// Message-box texts broken between clauses, not inside words. Qt may break Chinese text after any
// character, so a box narrower than a sentence splits words (重新插 / 上設備). The box is made as
// wide as its longest line, up to a bound; a line longer than the bound is broken after its
// Chinese punctuation (，。：；！？、) instead. Pure text and width work on the font it is given.
#pragma once

#include <QString>

class QFontMetrics;
class QMessageBox;

namespace quarvo {

// `text` with every line wider than `maxWidth` pixels broken after punctuation, the clauses packed
// greedily into lines that fit. A single clause wider than `maxWidth` stays whole (the box then
// wraps it where it must). Lines that fit are left as they are.
QString breakBetweenClauses(const QString& text, const QFontMetrics& metrics, int maxWidth);

// Sets the box's text and detail (informative text, in the text's format; empty: none), each
// broken as above, and makes each of its text labels at least as wide as its longest line, up to
// `maxWidth`, so that the box wraps none of the lines that fit.
void setBrokenBoxTexts(QMessageBox& box, const QString& text, const QString& detail, int maxWidth);

} // namespace quarvo
