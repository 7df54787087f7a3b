#include "message_box_text.h"

#include <QFontMetrics>
#include <QLabel>
#include <QMessageBox>
#include <QStringList>

#include <algorithm>

namespace quarvo {
namespace {

// A line may end after these; the closing marks that follow one stay with it. Only Chinese
// punctuation: a line of Latin text (a command to copy) is never broken here, for a break of our
// own would be copied with it; the box wraps it on screen only.
bool endsClause(QChar c) { return QStringLiteral("，。：；！？、").contains(c); }
bool closesQuote(QChar c) { return QStringLiteral("」』）").contains(c); }

QStringList clauses(const QString& line)
{
    QStringList parts;
    qsizetype start = 0;
    for (qsizetype i = 0; i < line.size(); ++i) {
        if (!endsClause(line[i]))
            continue;
        qsizetype end = i + 1;
        while (end < line.size() && closesQuote(line[end]))
            ++end;
        parts.append(line.mid(start, end - start));
        start = end;
        i = end - 1;
    }
    if (start < line.size())
        parts.append(line.mid(start));
    return parts;
}

int widestLine(const QString& text, const QFontMetrics& metrics)
{
    int widest = 0;
    for (const QString& line : text.split(QLatin1Char('\n')))
        widest = std::max(widest, metrics.horizontalAdvance(line));
    return widest;
}

// The label as wide as its longest line (and a little room, as the label's layout rounds its
// widths differently from a single measurement), up to `maxWidth`.
void fitLabel(QLabel* label, int maxWidth)
{
    if (!label)
        return;
    const QFontMetrics metrics(label->font());
    const int room = metrics.averageCharWidth();
    label->setMinimumWidth(std::min(widestLine(label->text(), metrics) + room, maxWidth));
}

} // namespace

QString breakBetweenClauses(const QString& text, const QFontMetrics& metrics, int maxWidth)
{
    QStringList lines;
    for (const QString& line : text.split(QLatin1Char('\n'))) {
        if (metrics.horizontalAdvance(line) <= maxWidth) {
            lines.append(line);
            continue;
        }
        QString current;
        for (const QString& clause : clauses(line)) {
            if (!current.isEmpty() && metrics.horizontalAdvance(current + clause) > maxWidth) {
                lines.append(current);
                current = clause;
            } else {
                current += clause;
            }
        }
        lines.append(current);
    }
    return lines.join(QLatin1Char('\n'));
}

void setBrokenBoxTexts(QMessageBox& box, const QString& text, const QString& detail, int maxWidth)
{
    auto* label = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
    const QFontMetrics metrics(label ? label->font() : box.font());
    box.setText(breakBetweenClauses(text, metrics, maxWidth));
    if (!detail.isEmpty())
        box.setInformativeText(breakBetweenClauses(detail, metrics, maxWidth));
    auto* detailLabel = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel"));
    // The detail in the text's format: a path that looks like markup stays as it is.
    if (detailLabel)
        detailLabel->setTextFormat(box.textFormat());
    fitLabel(label, maxWidth);
    fitLabel(detailLabel, maxWidth);
}

} // namespace quarvo
