#include "ui/qt/widgets.h"

#include <QHBoxLayout>
#include <QPainter>
#include <QVBoxLayout>

#include <algorithm>

namespace klarion::qt {

namespace {

int pointSize(TextStyle style) {
    switch (style) {
        case TextStyle::largeTitle: return 24;
        case TextStyle::title2: return 17;
        case TextStyle::title3: return 15;
        case TextStyle::headline: return 12;
        case TextStyle::subheadline: return 10;
        case TextStyle::body: return 11;
        case TextStyle::caption: return 9;
        case TextStyle::caption2: return 8;
    }
    return 11;
}

}  // namespace

void styleText(QLabel* label, TextStyle style, bool bold, const QString& color, int weight) {
    QFont font = label->font();
    font.setPointSize(pointSize(style));
    font.setBold(bold || style == TextStyle::headline);
    if (weight > 0) font.setWeight(static_cast<QFont::Weight>(weight));
    label->setFont(font);
    label->setStyleSheet(color.isEmpty() ? QString() : "color: " + color + ";");
}

QLabel* text(const QString& content, TextStyle style, bool bold, const QString& color) {
    auto* label = new QLabel(content);
    label->setTextFormat(Qt::PlainText);
    styleText(label, style, bold, color);
    return label;
}

Segmented::Segmented(const QString& objectName, QWidget* parent) : QWidget(parent) {
    setObjectName(objectName);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
}

void Segmented::setSegments(const std::vector<Segment>& segments) {
    if (segments.size() == segments_.size() &&
        std::equal(segments.begin(), segments.end(), segments_.begin(),
                   [](const Segment& a, const Segment& b) { return a.title == b.title && a.value == b.value; })) {
        return;
    }
    for (QPushButton* b : buttons_) delete b;
    buttons_.clear();
    segments_ = segments;
    for (size_t i = 0; i < segments.size(); ++i) {
        auto* b = new QPushButton(QString(segments[i].title).replace("&", "&&"), this);
        b->setCheckable(true);
        b->setObjectName(objectName() + "_" + segments[i].value);
        b->setFocusPolicy(Qt::TabFocus);
        const bool first = i == 0, last = i + 1 == segments.size();
        b->setStyleSheet(QString("QPushButton { border: 1px solid #b9b9bf; padding: 3px 10px; background: #f4f4f6;"
                                 " border-top-left-radius: %1px; border-bottom-left-radius: %1px;"
                                 " border-top-right-radius: %2px; border-bottom-right-radius: %2px; }"
                                 "QPushButton:checked { background: #ffffff; color: #000000; border-color: #8e8e93; }"
                                 "QPushButton:disabled { color: #a0a0a5; }")
                             .arg(first ? 6 : 0)
                             .arg(last ? 6 : 0));
        const QString value = segments[i].value;
        connect(b, &QPushButton::clicked, this, [this, value] {
            select(value);
            if (chosen) chosen(value);
        });
        layout()->addWidget(b);
        buttons_.push_back(b);
    }
}

void Segmented::select(const QString& value) {
    for (size_t i = 0; i < segments_.size(); ++i) buttons_[i]->setChecked(segments_[i].value == value);
}

QString Segmented::selected() const {
    for (size_t i = 0; i < segments_.size(); ++i) {
        if (buttons_[i]->isChecked()) return segments_[i].value;
    }
    return {};
}

QPushButton* Segmented::button(const QString& value) const {
    for (size_t i = 0; i < segments_.size(); ++i) {
        if (segments_[i].value == value) return buttons_[i];
    }
    return nullptr;
}

QFrame* card(const QString& objectName, const QString& background, int radius) {
    auto* frame = new QFrame;
    frame->setObjectName(objectName);
    frame->setStyleSheet(
        QString("QFrame#%1 { background: %2; border-radius: %3px; }").arg(objectName, background).arg(radius));
    return frame;
}

QPixmap dotPixmap(int diameter, const QString& color) {
    QPixmap pixmap(diameter * 2, diameter * 2);
    pixmap.setDevicePixelRatio(2);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setBrush(QColor(color));
    painter.setPen(Qt::NoPen);
    painter.drawEllipse(0, 0, diameter, diameter);
    return pixmap;
}

QLabel* dot(int diameter, const QString& color, const QString& objectName) {
    auto* label = new QLabel;
    label->setFixedSize(diameter, diameter);
    if (!objectName.isEmpty()) label->setObjectName(objectName);
    setDotColor(label, color);
    return label;
}

void setDotColor(QLabel* label, const QString& color) {
    label->setProperty("dotColor", color);
    label->setPixmap(dotPixmap(label->width(), color));
}

QFrame* divider() {
    auto* line = new QFrame;
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    return line;
}

FlowLayout::FlowLayout(QWidget* parent, int horizontalSpacing, int verticalSpacing)
    : QLayout(parent), horizontal_(horizontalSpacing), vertical_(verticalSpacing) {
    setContentsMargins(0, 0, 0, 0);
}

FlowLayout::~FlowLayout() {
    while (QLayoutItem* item = takeAt(0)) delete item;
}

void FlowLayout::addItem(QLayoutItem* item) { items_.append(item); }

int FlowLayout::count() const { return static_cast<int>(items_.size()); }

QLayoutItem* FlowLayout::itemAt(int index) const { return index >= 0 && index < count() ? items_.at(index) : nullptr; }

QLayoutItem* FlowLayout::takeAt(int index) { return index >= 0 && index < count() ? items_.takeAt(index) : nullptr; }

int FlowLayout::heightForWidth(int width) const { return arrange(QRect(0, 0, width, 0), false); }

QSize FlowLayout::minimumSize() const {
    // As narrow as its widest item: every other width wraps.
    QSize size;
    for (const QLayoutItem* item : items_) size = size.expandedTo(item->minimumSize());
    const QMargins m = contentsMargins();
    return size + QSize(m.left() + m.right(), m.top() + m.bottom());
}

QSize FlowLayout::sizeHint() const { return minimumSize(); }

void FlowLayout::setGeometry(const QRect& rect) {
    QLayout::setGeometry(rect);
    arrange(rect, true);
}

int FlowLayout::arrange(const QRect& rect, bool apply) const {
    const QRect area = rect.marginsRemoved(contentsMargins());
    int x = area.x(), y = area.y(), lineHeight = 0;
    for (QLayoutItem* item : items_) {
        if (item->isEmpty()) continue;
        const QSize size = item->sizeHint();
        if (x > area.x() && x + size.width() > area.right() + 1) {
            x = area.x();
            y += lineHeight + vertical_;
            lineHeight = 0;
        }
        if (apply) item->setGeometry(QRect(QPoint(x, y), size));
        x += size.width() + horizontal_;
        lineHeight = std::max(lineHeight, size.height());
    }
    return y + lineHeight - rect.y() + contentsMargins().bottom();
}

AlertDialog::AlertDialog(const QString& objectName, const QString& title, const QString& message, QWidget* parent)
    : QDialog(parent) {
    setObjectName(objectName);
    setWindowTitle(title);
    setAttribute(Qt::WA_DeleteOnClose);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 20, 24, 16);
    layout->setSpacing(10);
    auto* headline = text(title, TextStyle::title3, true);
    headline->setObjectName("alertHeadline");
    headline->setWordWrap(true);
    headline->setMinimumWidth(320);
    headline->setMaximumWidth(520);
    auto* body = text(message);
    body->setObjectName("alertMessage");
    body->setWordWrap(true);
    body->setTextInteractionFlags(Qt::TextSelectableByMouse);
    body->setMinimumWidth(320);
    body->setMaximumWidth(520);
    layout->addWidget(headline);
    layout->addWidget(body);
    body->setVisible(!message.isEmpty());
    layout->addSpacing(6);
    buttons_ = new QHBoxLayout;
    buttons_->setSpacing(8);
    buttons_->addStretch();
    layout->addLayout(buttons_);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

QPushButton* AlertDialog::addButton(const QString& label, const QString& name, bool isDefault, bool destructive) {
    auto* button = new QPushButton(label);
    button->setObjectName(name);
    button->setDefault(isDefault);
    button->setAutoDefault(isDefault);
    if (destructive) button->setStyleSheet("QPushButton { color: " + red + "; }");
    connect(button, &QPushButton::clicked, this, [this, button] {
        clicked_ = button;
        accept();
    });
    buttons_->addWidget(button);
    return button;
}

}  // namespace klarion::qt

namespace klarion::qt {

QRWidget::QRWidget(QWidget* parent) : QWidget(parent) {
    setObjectName("qrCode");
    setFixedSize(100, 100);
}

void QRWidget::setMatrix(QRMatrix matrix, QString text) {
    if (text == text_ && matrix.size == matrix_.size) return;
    matrix_ = std::move(matrix);
    text_ = std::move(text);
    update();
}

QImage QRWidget::image(int scale) const {
    const int quiet = 2, side = (matrix_.size + 2 * quiet) * scale;
    QImage picture(side, side, QImage::Format_RGB32);
    picture.fill(Qt::white);
    for (int y = 0; y < matrix_.size; ++y) {
        for (int x = 0; x < matrix_.size; ++x) {
            if (!matrix_.at(x, y)) continue;
            for (int dy = 0; dy < scale; ++dy) {
                for (int dx = 0; dx < scale; ++dx) {
                    picture.setPixel((x + quiet) * scale + dx, (y + quiet) * scale + dy, qRgb(0, 0, 0));
                }
            }
        }
    }
    return picture;
}

void QRWidget::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setBrush(Qt::white);
    painter.setPen(Qt::NoPen);
    painter.drawRoundedRect(rect(), 8, 8);
    if (matrix_.size == 0) return;
    const QImage picture = image(5);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
    painter.drawImage(QRect(4, 4, width() - 8, height() - 8), picture);
}

}  // namespace klarion::qt
