#include "ui/Label3D.h"

#include <QPainter>

namespace ui {

TlgLabel::TlgLabel(const QString& name, const QString& caption, QWidget* parent)
    : TLabel(name, caption, parent), shadowColor_(palette().color(QPalette::Dark)),
      threeDColor_(palette().color(QPalette::Light)) {}

void TlgLabel::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    if (!transparent_)
        painter.fillRect(rect(), palette().color(backgroundRole()));
    painter.setBrush(Qt::NoBrush);
    Draw3DText(painter, contentsRect(), int(alignment() & Qt::AlignHorizontal_Mask) | Qt::TextExpandTabs);
}

void TlgLabel::Draw3DText(QPainter& painter, const QRect& r, int flags) const {
    const QString caption = text().left(MaxCaption);
    if (wordWrap())
        flags |= Qt::TextWordWrap;
    // As a plain label: the accelerator is shown only for a label with a buddy.
    if (buddy())
        flags |= Qt::TextShowMnemonic;
    painter.setFont(font());
    auto pass = [&](const QColor& color, int dx, int dy) {
        painter.setPen(color);
        painter.drawText(r.translated(dx, dy), flags, caption);
    };
    const int d = shadowDepth_;
    const int w = widthDepth_;
    if (textStyle_ == tsRaised || textStyle_ == tsRecessed) {
        const bool raised = textStyle_ == tsRaised;
        pass(raised ? shadowColor_ : threeDColor_, d, shadowUp_ ? -d : d);
        pass(raised ? threeDColor_ : shadowColor_, threeDLeft_ ? w : -w, w);
    } else if (textStyle_ == tsShadow) {
        pass(shadowColor_, d, shadowUp_ ? d : -d);
    }
    pass(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::WindowText), 0, 0);
}

} // namespace ui
