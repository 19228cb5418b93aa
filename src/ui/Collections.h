// Collections of a component (list-view columns, status-bar panels) as QObject
// containers of QObject items, so that a path such as StatusBar.Panels[7].Text
// resolves through the meta-object system.
#pragma once

#include <QObject>
#include <QString>
#include <vector>

namespace ui {

class TCollectionItem : public QObject {
    Q_OBJECT
  public:
    using QObject::QObject;
  signals:
    void changed();
};

class TCollection : public QObject {
    Q_OBJECT
    Q_PROPERTY(int Count READ Count)
  public:
    using QObject::QObject;
    int Count() const { return int(items_.size()); }
    // Null when out of range.
    Q_INVOKABLE QObject* Item(int index) const;
    // Removes every item.
    void Clear();

  protected:
    void append(TCollectionItem* item);
    template <class T> T* at(int index) const { return static_cast<T*>(Item(index)); }

  signals:
    void changed();

  private:
    std::vector<TCollectionItem*> items_;
};

class TListColumn : public TCollectionItem {
    Q_OBJECT
    Q_PROPERTY(QString Caption READ Caption WRITE SetCaption)
    Q_PROPERTY(int Width READ Width WRITE SetWidth)
    Q_PROPERTY(int ImageIndex READ ImageIndex WRITE SetImageIndex)
    Q_PROPERTY(int Tag READ Tag WRITE SetTag)
  public:
    using TCollectionItem::TCollectionItem;
    QString Caption() const { return caption_; }
    void SetCaption(const QString& c);
    int Width() const { return width_; }
    void SetWidth(int w);
    int ImageIndex() const { return image_; }
    // The sort arrow: 1 ascending, 0 descending, -1 none.
    void SetImageIndex(int i);
    // How the column's texts compare when sorted (see ui::ListSortInfo).
    int Tag() const { return tag_; }
    void SetTag(int t) { tag_ = t; }

  private:
    QString caption_;
    int width_ = 50;
    int image_ = -1;
    int tag_ = 0;
};

class TListColumns : public TCollection {
    Q_OBJECT
  public:
    using TCollection::TCollection;
    TListColumn* Add(const QString& caption, int width = 80);
    TListColumn* operator[](int index) const { return at<TListColumn>(index); }
};

class TStatusPanel : public TCollectionItem {
    Q_OBJECT
    Q_PROPERTY(QString Text READ Text WRITE SetText)
    Q_PROPERTY(int Width READ Width WRITE SetWidth)
  public:
    using TCollectionItem::TCollectionItem;
    QString Text() const { return text_; }
    void SetText(const QString& t);
    int Width() const { return width_; }
    void SetWidth(int w);

  private:
    QString text_;
    int width_ = 100;
};

class TStatusPanels : public TCollection {
    Q_OBJECT
  public:
    using TCollection::TCollection;
    TStatusPanel* Add(int width = 100);
    TStatusPanel* operator[](int index) const { return at<TStatusPanel>(index); }
};

} // namespace ui
