#include "ui/Collections.h"

namespace ui {

QObject* TCollection::Item(int index) const {
    if (index < 0 || index >= int(items_.size()))
        return nullptr;
    return items_[std::size_t(index)];
}

void TCollection::Clear() {
    for (TCollectionItem* item : items_)
        delete item;
    items_.clear();
    emit changed();
}

void TCollection::append(TCollectionItem* item) {
    item->setObjectName(QString::number(items_.size()));
    items_.push_back(item);
    connect(item, &TCollectionItem::changed, this, &TCollection::changed);
    emit changed();
}

void TListColumn::SetCaption(const QString& c) {
    caption_ = c;
    emit changed();
}

void TListColumn::SetWidth(int w) {
    width_ = w;
    emit changed();
}

void TListColumn::SetImageIndex(int i) {
    if (image_ == i)
        return;
    image_ = i;
    emit changed();
}

TListColumn* TListColumns::Add(const QString& caption, int width) {
    auto* column = new TListColumn(this);
    column->SetCaption(caption);
    column->SetWidth(width);
    append(column);
    return column;
}

void TStatusPanel::SetText(const QString& t) {
    // The same text again would only redraw the bar.
    if (t == text_)
        return;
    text_ = t;
    emit changed();
}

void TStatusPanel::SetWidth(int w) {
    width_ = w;
    emit changed();
}

TStatusPanel* TStatusPanels::Add(int width) {
    auto* panel = new TStatusPanel(this);
    panel->SetWidth(width);
    append(panel);
    return panel;
}

} // namespace ui
