#include "about_dialog.h"

#include "frontend/window_texts.h"
#include "dialog_units.h"

#include <QIcon>
#include <QLabel>
#include <QPushButton>

namespace quarvo {

AboutDialog::AboutDialog(QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("aboutBox"));
    setWindowTitle(QString::fromUtf8(windowtext::ABOUT_TITLE));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    setFont(aboutDialogFont());
    const DialogUnits units = DialogUnits::forFont(font());

    // The icon at its own size from its place in the template, as an icon control shows it.
    auto* icon = new QLabel(this);
    icon->setObjectName(QStringLiteral("iconLabel"));
    const QPixmap pixmap = QIcon(QStringLiteral(":/quarvo/icon.png")).pixmap(32, 32);
    icon->setPixmap(pixmap);
    icon->setGeometry(
        QRect(units.rect(11, 17, 0, 0).topLeft(), pixmap.deviceIndependentSize().toSize()));

    auto* version = new QLabel(QString::fromUtf8(windowtext::ABOUT_VERSION), this);
    version->setObjectName(QStringLiteral("versionLabel"));
    version->setTextFormat(Qt::PlainText);
    version->setGeometry(units.rect(40, 10, 119, 8));

    auto* notice = new QLabel(QString::fromUtf8(windowtext::ABOUT_NOTICE), this);
    notice->setObjectName(QStringLiteral("noticeLabel"));
    notice->setGeometry(units.rect(40, 25, 119, 8));

    auto* ok = new QPushButton(QString::fromUtf8(windowtext::ABOUT_OK), this);
    ok->setObjectName(QStringLiteral("okButton"));
    ok->setGeometry(units.rect(178, 7, 50, 14));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);

    setFixedSize(units.size(235, 55));
}

} // namespace quarvo
