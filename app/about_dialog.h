// The About box: icon, version line, notice line and an OK button, in the regular-script face.
#pragma once

#include <QDialog>

namespace quarvo {

class AboutDialog final : public QDialog {
    Q_OBJECT
public:
    explicit AboutDialog(QWidget* parent = nullptr);
};

} // namespace quarvo
