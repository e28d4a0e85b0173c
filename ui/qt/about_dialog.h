// The About window: logo, title, the product's lines and "Fermer". Opened
// with open() over the main window, 450 by 540.
#pragma once

#include <QDialog>

namespace klarion::qt {

class AboutDialog : public QDialog {
public:
    explicit AboutDialog(QWidget* parent = nullptr);
};

}  // namespace klarion::qt
