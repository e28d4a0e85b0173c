#include "ui/qt/about_dialog.h"

#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QVBoxLayout>

#include "platform/paths.h"
#include "ui/panel/panel_sections.h"
#include "ui/qt/widgets.h"

namespace klarion::qt {

namespace {

QLabel* link(const std::string& url, const std::string& shown, TextStyle style, bool bold, const QString& color) {
    auto* label = text("", style, bold);
    label->setTextFormat(Qt::RichText);  // a link; the texts inside are escaped
    label->setText(QString("<a href=\"%1\" style=\"color: %2; text-decoration: none;\">%3</a>")
                       .arg(qs(url).toHtmlEscaped(), color, qs(shown).toHtmlEscaped()));
    label->setOpenExternalLinks(true);
    return label;
}

// The logo at 120 by 120 with rounded corners; null when it does not load.
QLabel* logo() {
    QImage image(qs((resourceFolder() / "klarion_petit.png").string()));
    if (image.isNull()) return nullptr;
    QPixmap rounded(240, 240);
    rounded.setDevicePixelRatio(2);
    rounded.fill(Qt::transparent);
    QPainter painter(&rounded);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    QPainterPath clip;
    clip.addRoundedRect(0, 0, 120, 120, 20, 20);
    painter.setClipPath(clip);
    painter.drawImage(QRect(0, 0, 120, 120), image);
    painter.end();
    auto* label = new QLabel;
    label->setObjectName("aboutLogo");
    label->setFixedSize(120, 120);
    label->setPixmap(rounded);
    return label;
}

}  // namespace

AboutDialog::AboutDialog(QWidget* parent) : QDialog(parent) {
    setObjectName("aboutDialog");
    setWindowTitle("À propos");
    setFixedSize(450, 540);
    const AboutInfo info = aboutInfo();
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(40, 40, 40, 40);
    layout->setSpacing(20);
    layout->setAlignment(Qt::AlignHCenter);
    if (QLabel* image = logo()) layout->addWidget(image, 0, Qt::AlignHCenter);
    auto* title = text("KLARION", TextStyle::largeTitle);
    styleText(title, TextStyle::largeTitle, false, {}, QFont::Black);
    title->setObjectName("aboutTitle");
    layout->addWidget(title, 0, Qt::AlignHCenter);

    auto* block = new QWidget;
    auto* lines = new QVBoxLayout(block);
    lines->setContentsMargins(0, 0, 0, 0);
    lines->setSpacing(8);
    lines->addWidget(link(info.website, info.maker, TextStyle::title2, true, "#1d1d1f"), 0, Qt::AlignHCenter);
    auto* version = text(qs(info.version));
    version->setObjectName("aboutVersion");
    lines->addWidget(version, 0, Qt::AlignHCenter);
    lines->addWidget(text(qs(info.author)), 0, Qt::AlignHCenter);
    lines->addWidget(link(info.website, info.websiteName, TextStyle::body, false, blue), 0, Qt::AlignHCenter);
    lines->addWidget(link("mailto:" + info.email, info.email, TextStyle::body, false, blue), 0, Qt::AlignHCenter);
    lines->addWidget(text(qs(info.year), TextStyle::body, false, secondary), 0, Qt::AlignHCenter);
    auto* thanks = text(qs(info.thanks), TextStyle::caption, false, secondary);
    thanks->setAlignment(Qt::AlignCenter);
    lines->addWidget(thanks, 0, Qt::AlignHCenter);
    layout->addWidget(block);

    auto* close = new QPushButton("Fermer");
    close->setObjectName("aboutClose");
    close->setStyleSheet("QPushButton { background: " + red +
                         "; color: white; font-weight: bold; border-radius: 6px; padding: 6px 18px; }");
    connect(close, &QPushButton::clicked, this, &QDialog::accept);
    layout->addSpacing(15);
    layout->addWidget(close, 0, Qt::AlignHCenter);
    layout->addStretch();
}

}  // namespace klarion::qt
