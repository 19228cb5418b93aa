#include "ui/Components.h"

#include "ui/Dialogs.h"

#include <QApplication>
#include <QEventLoop>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLayout>
#include <QMouseEvent>
#include <QScreen>
#include <QStyle>
#include <algorithm>

namespace ui {

TForm::TForm(const QString& name, QWidget* owner) : QWidget(owner, Qt::Window) {
    setObjectName(name);
}

namespace {

// The window frame's margins: the window's own once it has been shown, else
// those of a shown window (the window manager gives every window the same).
QMargins frameMarginsOf(const QWidget& window) {
    auto marginsOf = [](const QWidget& w) {
        const QRect frame = w.frameGeometry(), inner = w.geometry();
        return QMargins(inner.left() - frame.left(), inner.top() - frame.top(), frame.right() - inner.right(),
                        frame.bottom() - inner.bottom());
    };
    if (window.testAttribute(Qt::WA_WState_Created) && window.frameGeometry() != window.geometry())
        return marginsOf(window);
    for (const QWidget* other : QApplication::topLevelWidgets())
        if (other != &window && other->isVisible() && other->frameGeometry() != other->geometry())
            return marginsOf(*other);
    return {};
}

} // namespace

void TForm::showEvent(QShowEvent* event) {
    // The window is not on screen yet: its layout takes its final size now,
    // not after the window manager has placed it.
    if (layout())
        layout()->activate();
    // A window that starts minimised is left as it is: a window manager may
    // take a move or resize before its first map as a wish to see it.
    const bool minimised = windowState() & Qt::WindowMinimized;
    if (const QScreen* where = screen() ? screen() : QGuiApplication::primaryScreen(); where && !minimised)
        fitInto(where->availableGeometry());
    QWidget::showEvent(event);
}

void TForm::fitInto(const QRect& area) {
    const QMargins frame = frameMarginsOf(*this);
    const QRect inner = area.marginsRemoved(frame);
    // What the layout needs, as far as the screen allows.
    const QSize wanted = size().expandedTo(minimumSizeHint()).boundedTo(inner.size());
    if (wanted != size())
        resize(wanted);
    QRect placed(pos(), size() + QSize(frame.left() + frame.right(), frame.top() + frame.bottom()));
    // A window nobody placed yet is placed here, not by the window manager,
    // which may put it partly off the screen.
    const bool placedBefore = testAttribute(Qt::WA_Moved);
    if (screenCentred_ || !placedBefore)
        placed.moveCenter(area.center());
    placed.moveRight(std::min(placed.right(), area.right()));
    placed.moveBottom(std::min(placed.bottom(), area.bottom()));
    placed.moveLeft(std::max(placed.left(), area.left()));
    placed.moveTop(std::max(placed.top(), area.top()));
    if (!placedBefore || placed.topLeft() != pos())
        move(placed.topLeft());
}

QObject* TForm::FindComponent(const QString& name) const {
    return findChild<QObject*>(name, Qt::FindChildrenRecursively);
}

void TForm::SetModalResult(int r) {
    modalResult_ = r;
    if (r != mrNone)
        emit modalResultSet(r);
}

int TForm::ShowModal() {
    modalResult_ = mrNone;
    QEventLoop loop;
    auto connection = connect(this, &TForm::modalResultSet, &loop, [&loop] { loop.quit(); });
    setWindowModality(Qt::ApplicationModal);
    show();
    if (modalResult_ == mrNone)
        loop.exec();
    disconnect(connection);
    hide();
    return modalResult_;
}

TLabel::TLabel(const QString& name, const QString& caption, QWidget* parent) : QLabel(caption, parent) {
    setObjectName(name);
}

TButton::TButton(const QString& name, const QString& caption, QWidget* parent)
    : QPushButton(caption, parent) {
    setObjectName(name);
    connect(this, &QPushButton::clicked, this, [this] {
        if (modalResult_ == mrNone)
            return;
        for (QWidget* w = parentWidget(); w; w = w->parentWidget())
            if (auto* form = qobject_cast<TForm*>(w)) {
                form->SetModalResult(modalResult_);
                return;
            }
    });
}

void TButton::SetAction(QObject* action) {
    disconnect(actionChanged_);
    disconnect(actionTriggered_);
    action_ = qobject_cast<QAction*>(action);
    if (!action_)
        return;
    auto show = [this] {
        setText(action_->text());
        setToolTip(action_->statusTip());
    };
    show();
    actionChanged_ = connect(action_, &QAction::changed, this, show);
    actionTriggered_ = connect(this, &QPushButton::clicked, action_, &QAction::trigger);
}

TCheckBox::TCheckBox(const QString& name, const QString& caption, QWidget* parent, bool checked)
    : QCheckBox(caption, parent) {
    setObjectName(name);
    setChecked(checked);
}

TEdit::TEdit(const QString& name, const QString& text, QWidget* parent) : QLineEdit(text, parent) {
    setObjectName(name);
}

void TEdit::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        emit enterPressed();
        return;
    }
    QLineEdit::keyPressEvent(event);
    emit otherKeyPressed();
}

TComboBox::TComboBox(const QString& name, QWidget* parent) : QComboBox(parent) {
    setObjectName(name);
    setEditable(false);
}

QStringList TComboBox::Items() const {
    QStringList items;
    for (int i = 0; i < count(); ++i)
        items << itemText(i);
    return items;
}

void TComboBox::SetItems(const QStringList& items) {
    // In place, so that the chosen item stays chosen when only the texts change.
    const int shared = std::min(count(), int(items.size()));
    for (int i = 0; i < shared; ++i)
        if (itemText(i) != items[i])
            setItemText(i, items[i]);
    while (count() > items.size())
        removeItem(count() - 1);
    if (items.size() > shared)
        addItems(items.mid(shared));
}

TUpDown::TUpDown(const QString& name, int min, int max, QWidget* parent) : QSpinBox(parent) {
    setObjectName(name);
    setRange(min, max);
    setWrapping(false);
}

TDateTimePicker::TDateTimePicker(const QString& name, QWidget* parent) : QTimeEdit(parent) {
    setObjectName(name);
    setDisplayFormat(QStringLiteral("HH:mm"));
}

TMemo::TMemo(const QString& name, QWidget* parent) : QPlainTextEdit(parent) {
    setObjectName(name);
}

QStringList TMemo::Lines() const {
    return toPlainText().split(QLatin1Char('\n'));
}

void TMemo::SetLines(const QStringList& lines) {
    setPlainText(lines.join(QLatin1Char('\n')));
}

TGroupBox::TGroupBox(const QString& name, const QString& caption, QWidget* parent)
    : QGroupBox(caption, parent) {
    setObjectName(name);
}

TListBox::TListBox(const QString& name, QWidget* parent) : QListWidget(parent) {
    setObjectName(name);
}

QStringList TListBox::Items() const {
    QStringList items;
    for (int i = 0; i < count(); ++i)
        items << item(i)->text();
    return items;
}

void TListBox::SetItems(const QStringList& items) {
    clear();
    addItems(items);
}

void TListBox::AddLines(const QStringList& lines, int limit, bool scroll) {
    if (lines.isEmpty())
        return;
    limit = std::max(limit, 1);
    // A list already full is cleared by the first line.
    const bool full = count() >= limit;
    const qsizetype total = (full ? 0 : count()) + lines.size();
    qsizetype first = 0;
    if (total > limit) {
        // The last clear comes before the line that finds the list full; the
        // lines after it are all that is left.
        const qsizetype kept = (total - 1) % limit + 1;
        first = lines.size() - kept;
    }
    if (full || total > limit)
        clear();
    addItems(first == 0 ? lines : lines.mid(first));
    if (scroll)
        scrollToBottom();
}

TProgressBar::TProgressBar(const QString& name, QWidget* parent) : QProgressBar(parent) {
    setObjectName(name);
    setTextVisible(false);
}

void TProgressBar::SetPosition(int position) {
    setValue(std::clamp(position, minimum(), maximum()));
}

TTabSheet::TTabSheet(const QString& name, const QString& caption, TPageControl* pages)
    : QWidget(pages), pages_(pages), caption_(caption) {
    setObjectName(name);
    pages_->addTab(this, caption);
}

void TTabSheet::SetCaption(const QString& c) {
    caption_ = c;
    const int index = pages_->indexOf(this);
    if (index >= 0)
        pages_->setTabText(index, c);
}

void TTabSheet::SetTabVisible(bool visible) {
    tabVisible_ = visible;
    const int index = pages_->indexOf(this);
    if (index >= 0)
        pages_->setTabVisible(index, visible);
}

TPageControl::TPageControl(const QString& name, QWidget* parent) : QTabWidget(parent) {
    setObjectName(name);
    // Every tab is shown whole: the control is as wide as its tabs need.
    tabBar()->setUsesScrollButtons(false);
    tabBar()->setElideMode(Qt::ElideNone);
}

TStatusBar::TStatusBar(const QString& name, QWidget* parent, int panelCount)
    : QStatusBar(parent), panels_(new TStatusPanels(this)) {
    setObjectName(name);
    panels_->setObjectName(QStringLiteral("Panels"));
    for (int i = 0; i < panelCount; ++i) {
        panels_->Add();
        auto* label = new QLabel(this);
        labels_.push_back(label);
        addWidget(label, 1);
    }
    connect(panels_, &TCollection::changed, this, &TStatusBar::refresh);
}

void TStatusBar::refresh() {
    for (std::size_t i = 0; i < labels_.size(); ++i) {
        auto* panel = (*panels_)[int(i)];
        if (!panel)
            continue;
        labels_[i]->setText(panel->Text());
        // A panel is never narrower than its text; its design width is no
        // minimum, so a longer text never widens the window past its size.
        labels_[i]->setMinimumWidth(labels_[i]->sizeHint().width());
    }
}

// Qt reports double clicks on items only; the list's own event covers the
// empty space too.
void TListView::mouseDoubleClickEvent(QMouseEvent* event) {
    QTreeWidget::mouseDoubleClickEvent(event);
    if (event->button() == Qt::LeftButton)
        emit DblClick();
}

TListView::TListView(const QString& name, QWidget* parent)
    : QTreeWidget(parent), columns_(new TListColumns(this)) {
    setObjectName(name);
    columns_->setObjectName(QStringLiteral("Columns"));
    setRootIsDecorated(false);
    setAllColumnsShowFocus(true);
    setSortingEnabled(false);
    connect(columns_, &TCollection::changed, this, &TListView::refreshHeader);
}

void TListView::refreshHeader() {
    const int count = columns_->Count();
    setColumnCount(count);
    QStringList labels;
    for (int i = 0; i < count; ++i)
        labels << (*columns_)[i]->Caption();
    setHeaderLabels(labels);
    ShowColumns(*this, *columns_);
}

void ShowColumns(QTreeView& view, const TListColumns& columns) {
    const int count = columns.Count();
    // A shown column is never narrower than its caption, in any language,
    // with room for the sort arrow that a click may give it.
    const QFontMetrics metrics(view.header()->font());
    const int margin = view.style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, &view);
    const int margins = 3 * margin + view.style()->pixelMetric(QStyle::PM_HeaderMarkSize, nullptr, &view);
    for (int i = 0; i < count; ++i) {
        const int width = columns[i]->Width();
        view.setColumnHidden(i, width == 0);
        if (width > 0)
            view.setColumnWidth(i,
                                std::max(width, metrics.horizontalAdvance(columns[i]->Caption()) + margins));
    }
    // The arrow of the sorted column, as its image index says.
    int sorted = -1;
    for (int i = 0; i < count && sorted < 0; ++i) {
        if (columns[i]->ImageIndex() >= 0)
            sorted = i;
    }
    view.header()->setSortIndicatorShown(sorted >= 0);
    if (sorted >= 0)
        view.header()->setSortIndicator(sorted, columns[sorted]->ImageIndex() == 1 ? Qt::AscendingOrder
                                                                                   : Qt::DescendingOrder);
}

QTreeWidgetItem* TListView::AddRow(const QStringList& cells) {
    auto* item = new QTreeWidgetItem(this, cells);
    return item;
}

TMenuItem::TMenuItem(const QString& name, const QString& caption, QObject* owner) : QAction(caption, owner) {
    setObjectName(name);
}

QMenu* TMenuItem::EnsureSubMenu() {
    if (!menu_) {
        menu_ = new QMenu(qobject_cast<QWidget*>(parent()));
        setMenu(menu_);
    }
    return menu_;
}

TMenuItem* TMenuItem::Add(const QString& name, const QString& caption) {
    auto* item = new TMenuItem(name, caption, this);
    EnsureSubMenu()->addAction(item);
    return item;
}

void TMenuItem::AddSeparator() {
    if (menu_)
        menu_->addSeparator();
}

TMainMenu::TMainMenu(const QString& name, QWidget* parent) : QMenuBar(parent) {
    setObjectName(name);
}

TMenuItem* TMainMenu::Add(const QString& name, const QString& caption) {
    auto* item = new TMenuItem(name, caption, this);
    item->EnsureSubMenu();
    addAction(item);
    return item;
}

TPopupMenu::TPopupMenu(const QString& name, QWidget* parent) : QMenu(parent) {
    setObjectName(name);
}

TMenuItem* TPopupMenu::Add(const QString& name, const QString& caption) {
    auto* item = new TMenuItem(name, caption, this);
    addAction(item);
    return item;
}

TTimer::TTimer(const QString& name, int intervalMs, bool enabled, QObject* owner) : QTimer(owner) {
    setObjectName(name);
    setInterval(intervalMs);
    if (enabled)
        start();
}

void TTimer::SetEnabled(bool on) {
    if (!on)
        stop();
    else if (!isActive())
        start();
}

void TTimer::SetInterval(int ms) {
    if (ms != interval())
        setInterval(ms);
}

TOpenDialog::TOpenDialog(const QString& name, const QString& title, const QString& filter, QObject* owner)
    : QObject(owner), title_(title), filter_(filter) {
    setObjectName(name);
}

std::string TOpenDialog::Execute(QWidget* owner) const {
    return dialogs().OpenFileName(title_.toStdString(), filter_.toStdString(), owner);
}

std::string TSaveDialog::Execute(QWidget* owner) const {
    return dialogs().SaveFileName(Title().toStdString(), Filter().toStdString(), owner);
}

} // namespace ui
