// A label whose text is drawn raised, recessed or with a shadow: the text is
// drawn once or twice in other colours at small offsets, then in its own.
#pragma once

#include "ui/Components.h"

#include <QColor>

namespace ui {

class TlgLabel : public TLabel {
    Q_OBJECT
    Q_PROPERTY(TTextStyle TextStyle READ TextStyle WRITE SetTextStyle)
    Q_PROPERTY(QColor ShadowColor READ ShadowColor WRITE SetShadowColor)
    Q_PROPERTY(QColor ThreeDColor READ ThreeDColor WRITE SetThreeDColor)
    Q_PROPERTY(int ShadowDepth READ ShadowDepth WRITE SetShadowDepth)
    Q_PROPERTY(int WidthDepth READ WidthDepth WRITE SetWidthDepth)
    Q_PROPERTY(bool ShadowUp READ ShadowUp WRITE SetShadowUp)
    Q_PROPERTY(bool ThreeDLeft READ ThreeDLeft WRITE SetThreeDLeft)
    Q_PROPERTY(bool Transparent READ Transparent WRITE SetTransparent)
  public:
    enum TTextStyle { tsNone, tsRaised, tsRecessed, tsShadow };
    Q_ENUM(TTextStyle)
    // The longest caption drawn; a longer one is cut.
    static constexpr int MaxCaption = 255;

    TlgLabel(const QString& name, const QString& caption, QWidget* parent);

    TTextStyle TextStyle() const { return textStyle_; }
    void SetTextStyle(TTextStyle style) { setAndRepaint(textStyle_, style); }
    QColor ShadowColor() const { return shadowColor_; }
    void SetShadowColor(const QColor& color) { setAndRepaint(shadowColor_, color); }
    QColor ThreeDColor() const { return threeDColor_; }
    void SetThreeDColor(const QColor& color) { setAndRepaint(threeDColor_, color); }
    int ShadowDepth() const { return shadowDepth_; }
    void SetShadowDepth(int depth) { setAndRepaint(shadowDepth_, depth); }
    int WidthDepth() const { return widthDepth_; }
    void SetWidthDepth(int depth) { setAndRepaint(widthDepth_, depth); }
    bool ShadowUp() const { return shadowUp_; }
    void SetShadowUp(bool up) { setAndRepaint(shadowUp_, up); }
    bool ThreeDLeft() const { return threeDLeft_; }
    void SetThreeDLeft(bool left) { setAndRepaint(threeDLeft_, left); }
    bool Transparent() const { return transparent_; }
    void SetTransparent(bool transparent) { setAndRepaint(transparent_, transparent); }

  protected:
    void paintEvent(QPaintEvent* event) override;
    void Draw3DText(class QPainter& painter, const QRect& r, int flags) const;

  private:
    // Stores a changed value and repaints.
    template <typename T> void setAndRepaint(T& field, const T& value) {
        if (field == value)
            return;
        field = value;
        update();
    }

    TTextStyle textStyle_ = tsRecessed;
    QColor shadowColor_;
    QColor threeDColor_;
    int shadowDepth_ = 2;
    int widthDepth_ = -1;
    bool shadowUp_ = false;
    bool threeDLeft_ = false;
    bool transparent_ = false;
};

} // namespace ui
