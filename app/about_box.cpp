#include "about_box.h"

#include "app_texts.h"
#include "dialog_units.h"

#include <QIcon>
#include <QLabel>
#include <QPushButton>

namespace quarvo {

CAboutBox::CAboutBox(QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("aboutBox"));
    setWindowTitle(QString::fromUtf8(apptext::ABOUT_TITLE));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    setFont(aboutBoxFont());
    const DialogUnits du = DialogUnits::forFont(font());

    auto* icon = new QLabel(this);
    icon->setPixmap(QIcon(QStringLiteral(":/quarvo/icon.png")).pixmap(32, 32));
    icon->setGeometry(du.rect(11, 17, 20, 20));

    auto* version = new QLabel(QString::fromUtf8(apptext::ABOUT_VERSION), this);
    version->setObjectName(QStringLiteral("versionLabel"));
    version->setTextFormat(Qt::PlainText);
    version->setGeometry(du.rect(40, 10, 119, 8));

    auto* notice = new QLabel(QString::fromUtf8(apptext::ABOUT_NOTICE), this);
    notice->setObjectName(QStringLiteral("noticeLabel"));
    notice->setGeometry(du.rect(40, 25, 119, 8));

    auto* ok = new QPushButton(QString::fromUtf8(apptext::ABOUT_OK), this);
    ok->setObjectName(QStringLiteral("okButton"));
    ok->setGeometry(du.rect(178, 7, 50, 14));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);

    setFixedSize(du.size(235, 55));
}

} // namespace quarvo
