#include "ui/Label3D.h"

#include <QImage>
#include <QPixmap>
#include <gtest/gtest.h>

using namespace ui;

namespace {
// The smallest rectangle holding every pixel of `color`.
QRect extent(const QImage& image, QColor color) {
    QRect box;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (image.pixelColor(x, y) == color)
                box |= QRect(x, y, 1, 1);
    return box;
}

struct Rendered {
    QRect text, shadow, threeD;
};

Rendered render(TlgLabel::TTextStyle style, bool shadowUp = false) {
    TlgLabel label(QStringLiteral("lgLabel1"), QStringLiteral("HI"), nullptr);
    QFont font = label.font();
    font.setPixelSize(40);
    font.setStyleStrategy(QFont::NoAntialias);
    label.setFont(font);
    QPalette palette = label.palette();
    palette.setColor(QPalette::Window, Qt::white);
    palette.setColor(QPalette::WindowText, Qt::black);
    label.setPalette(palette);
    label.resize(160, 80);
    label.SetTextStyle(style);
    label.SetShadowColor(Qt::red);
    label.SetThreeDColor(Qt::green);
    label.SetShadowUp(shadowUp);
    const QImage image = label.grab().toImage();
    return {extent(image, Qt::black), extent(image, Qt::red), extent(image, Qt::green)};
}
} // namespace

// Depth 2, width -1 (the defaults): the first pass lies 2 right and 2 down
// (2 up for a shadow), the second 1 right and 1 up; the text covers the rest.
TEST(Label3D, PassesLieAtTheirOffsets) {
    const Rendered raised = render(TlgLabel::tsRaised);
    ASSERT_FALSE(raised.text.isNull());
    EXPECT_EQ(raised.shadow.right(), raised.text.right() + 2);
    EXPECT_EQ(raised.shadow.bottom(), raised.text.bottom() + 2);
    EXPECT_EQ(raised.threeD.right(), raised.text.right() + 1);
    EXPECT_EQ(raised.threeD.top(), raised.text.top() - 1);

    const Rendered recessed = render(TlgLabel::tsRecessed);
    EXPECT_EQ(recessed.threeD.bottom(), recessed.text.bottom() + 2);
    EXPECT_EQ(recessed.shadow.top(), recessed.text.top() - 1);

    const Rendered shadow = render(TlgLabel::tsShadow);
    EXPECT_EQ(shadow.shadow.top(), shadow.text.top() - 2);
    EXPECT_EQ(shadow.shadow.right(), shadow.text.right() + 2);
    EXPECT_TRUE(shadow.threeD.isNull());
    EXPECT_EQ(render(TlgLabel::tsShadow, true).shadow.bottom(), shadow.text.bottom() + 2);

    const Rendered none = render(TlgLabel::tsNone);
    EXPECT_TRUE(none.shadow.isNull());
    EXPECT_EQ(none.text, raised.text);
}
