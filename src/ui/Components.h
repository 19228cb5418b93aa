// The component layer: thin subclasses of Qt widgets that publish the
// properties of the original component set under their original names, so
// that code and the translation engine can find a component by owner and name
// and set its properties by name through QMetaObject.
#pragma once

#include "ui/Collections.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QStatusBar>
#include <QTabWidget>
#include <QTimer>
#include <QTreeWidget>
#include <QWidget>

namespace ui {

// Published properties common to the visual controls.
#define HALVEX_CONTROL_PROPERTIES                                                                            \
    Q_PROPERTY(QString Hint READ Hint WRITE SetHint)                                                         \
    Q_PROPERTY(bool Enabled READ isEnabled WRITE setEnabled)                                                 \
    Q_PROPERTY(bool Visible READ IsVisible WRITE setVisible)                                                 \
    Q_PROPERTY(int Tag READ Tag WRITE SetTag)                                                                \
    Q_PROPERTY(QFont Font READ font WRITE setFont)                                                           \
    Q_PROPERTY(bool ParentFont READ ParentFont WRITE SetParentFont)                                          \
  public:                                                                                                    \
    /* True while the control shows its parent's font, false once it has a font of its own. */               \
    bool ParentFont() const {                                                                                \
        return !testAttribute(Qt::WA_SetFont);                                                               \
    }                                                                                                        \
    void SetParentFont(bool on) {                                                                            \
        QFont own = font();                                                                                  \
        own.setFamily(own.family());                                                                         \
        setFont(on ? QFont() : own);                                                                         \
    }                                                                                                        \
    QString Hint() const {                                                                                   \
        return toolTip();                                                                                    \
    }                                                                                                        \
    void SetHint(const QString& h) {                                                                         \
        setToolTip(h);                                                                                       \
    }                                                                                                        \
    bool IsVisible() const {                                                                                 \
        return !isHidden();                                                                                  \
    }                                                                                                        \
    int Tag() const {                                                                                        \
        return tag_;                                                                                         \
    }                                                                                                        \
    void SetTag(int t) {                                                                                     \
        tag_ = t;                                                                                            \
    }                                                                                                        \
                                                                                                             \
  private:                                                                                                   \
    int tag_ = 0;

// A form: a top-level window owned by the application. Its components are
// its children, found by object name.
class TForm : public QWidget {
    Q_OBJECT
    Q_PROPERTY(QString Caption READ Caption WRITE SetCaption)
    HALVEX_CONTROL_PROPERTIES
  public:
    explicit TForm(const QString& name, QWidget* owner = nullptr);
    QString Caption() const { return windowTitle(); }
    void SetCaption(const QString& c) { setWindowTitle(c); }
    // The component of this form with the given name, or null.
    QObject* FindComponent(const QString& name) const;
    // The result a modal form closed with (mrOk 1, mrCancel 2, mrAbort 3, ...).
    int ModalResult() const { return modalResult_; }
    void SetModalResult(int r);
    // Shows the form and runs a local event loop until a modal result is set.
    int ShowModal();
    // Every show places the form in the middle of its screen.
    void SetScreenCentred(bool centred) { screenCentred_ = centred; }

  signals:
    void modalResultSet(int result);

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    // Sizes the window to what it needs within `area`, frame included, and
    // moves it inside (to the middle when centred).
    void fitInto(const QRect& area);

    int modalResult_ = 0;
    bool screenCentred_ = false;
};

enum ModalResults {
    mrNone = 0,
    mrOk = 1,
    mrCancel = 2,
    mrAbort = 3,
    mrRetry = 4,
    mrIgnore = 5,
    mrYes = 6,
    mrNo = 7
};

class TLabel : public QLabel {
    Q_OBJECT
    Q_PROPERTY(QString Caption READ text WRITE setText)
    HALVEX_CONTROL_PROPERTIES
  public:
    TLabel(const QString& name, const QString& caption, QWidget* parent);
};

class TButton : public QPushButton {
    Q_OBJECT
    Q_PROPERTY(QString Caption READ text WRITE setText)
    Q_PROPERTY(int ModalResult READ ModalResult WRITE SetModalResult)
    Q_PROPERTY(QObject* Action READ Action WRITE SetAction)
    HALVEX_CONTROL_PROPERTIES
  public:
    TButton(const QString& name, const QString& caption, QWidget* parent);
    int ModalResult() const { return modalResult_; }
    void SetModalResult(int r) { modalResult_ = r; }
    // A button bound to an action (a QAction) shows the action's caption and
    // hint and triggers it when clicked; null unbinds it.
    QObject* Action() const { return action_; }
    void SetAction(QObject* action);

  private:
    int modalResult_ = 0;
    QPointer<QAction> action_;
    QMetaObject::Connection actionChanged_, actionTriggered_;
};

class TCheckBox : public QCheckBox {
    Q_OBJECT
    Q_PROPERTY(QString Caption READ text WRITE setText)
    Q_PROPERTY(bool Checked READ isChecked WRITE setChecked)
    HALVEX_CONTROL_PROPERTIES
  public:
    TCheckBox(const QString& name, const QString& caption, QWidget* parent, bool checked = false);
};

class TEdit : public QLineEdit {
    Q_OBJECT
    Q_PROPERTY(QString Text READ text WRITE setText)
    HALVEX_CONTROL_PROPERTIES
  public:
    TEdit(const QString& name, const QString& text, QWidget* parent);

  signals:
    // Enter pressed in the edit.
    void enterPressed();
    // Any other key pressed in the edit.
    void otherKeyPressed();

  protected:
    void keyPressEvent(QKeyEvent* event) override;
};

// A drop-down list whose items are chosen from the list only.
class TComboBox : public QComboBox {
    Q_OBJECT
    Q_PROPERTY(QStringList Items READ Items WRITE SetItems)
    HALVEX_CONTROL_PROPERTIES
  public:
    TComboBox(const QString& name, QWidget* parent);
    QStringList Items() const;
    void SetItems(const QStringList& items);
};

// An up-down control with its own number: arrows and keys move it between
// Min and Max, without wrapping.
class TUpDown : public QSpinBox {
    Q_OBJECT
    Q_PROPERTY(int Min READ minimum WRITE setMinimum)
    Q_PROPERTY(int Max READ maximum WRITE setMaximum)
    Q_PROPERTY(int Position READ value WRITE setValue)
    HALVEX_CONTROL_PROPERTIES
  public:
    TUpDown(const QString& name, int min, int max, QWidget* parent);
};

// A time-of-day picker.
class TDateTimePicker : public QTimeEdit {
    Q_OBJECT
    Q_PROPERTY(QTime Time READ time WRITE setTime)
    HALVEX_CONTROL_PROPERTIES
  public:
    TDateTimePicker(const QString& name, QWidget* parent);
};

class TMemo : public QPlainTextEdit {
    Q_OBJECT
    Q_PROPERTY(QStringList Lines READ Lines WRITE SetLines)
    HALVEX_CONTROL_PROPERTIES
  public:
    TMemo(const QString& name, QWidget* parent);
    QStringList Lines() const;
    void SetLines(const QStringList& lines);
};

class TGroupBox : public QGroupBox {
    Q_OBJECT
    Q_PROPERTY(QString Caption READ title WRITE setTitle)
    HALVEX_CONTROL_PROPERTIES
  public:
    TGroupBox(const QString& name, const QString& caption, QWidget* parent);
};

class TListBox : public QListWidget {
    Q_OBJECT
    Q_PROPERTY(QStringList Items READ Items WRITE SetItems)
    HALVEX_CONTROL_PROPERTIES
  public:
    TListBox(const QString& name, QWidget* parent);
    QStringList Items() const;
    void SetItems(const QStringList& items);
    // Adds the lines as if one by one, each clearing the whole list first when
    // it already holds `limit` lines, but with one clear, one insertion and
    // one scroll to the end (when `scroll`) for the whole batch.
    void AddLines(const QStringList& lines, int limit, bool scroll);
};

class TProgressBar : public QProgressBar {
    Q_OBJECT
    Q_PROPERTY(int Min READ minimum WRITE setMinimum)
    Q_PROPERTY(int Max READ maximum WRITE setMaximum)
    Q_PROPERTY(int Position READ value WRITE setValue)
    HALVEX_CONTROL_PROPERTIES
  public:
    TProgressBar(const QString& name, QWidget* parent);
    // Moves the bar, stopping at its ends.
    void SetPosition(int position);
};

// A page of a page control.
class TTabSheet : public QWidget {
    Q_OBJECT
    Q_PROPERTY(QString Caption READ Caption WRITE SetCaption)
    Q_PROPERTY(bool TabVisible READ TabVisible WRITE SetTabVisible)
    HALVEX_CONTROL_PROPERTIES
  public:
    TTabSheet(const QString& name, const QString& caption, class TPageControl* pages);
    QString Caption() const { return caption_; }
    void SetCaption(const QString& c);
    bool TabVisible() const { return tabVisible_; }
    void SetTabVisible(bool visible);

  private:
    TPageControl* pages_;
    QString caption_;
    bool tabVisible_ = true;
};

class TPageControl : public QTabWidget {
    Q_OBJECT
    HALVEX_CONTROL_PROPERTIES
  public:
    TPageControl(const QString& name, QWidget* parent);
    void SetActivePage(TTabSheet* page) { setCurrentWidget(page); }
    TTabSheet* ActivePage() const { return qobject_cast<TTabSheet*>(currentWidget()); }
};

class TStatusBar : public QStatusBar {
    Q_OBJECT
    Q_PROPERTY(QObject* Panels READ PanelsObject)
    HALVEX_CONTROL_PROPERTIES
  public:
    TStatusBar(const QString& name, QWidget* parent, int panelCount);
    TStatusPanels& Panels() { return *panels_; }
    QObject* PanelsObject() const { return panels_; }

  private:
    void refresh();
    TStatusPanels* panels_;
    std::vector<QLabel*> labels_;
};

// The columns of a report-style list: a collection published as Columns,
// which the list creates in its constructor.
#define HALVEX_LIST_COLUMNS                                                                                  \
    Q_PROPERTY(QObject* Columns READ ColumnsObject)                                                          \
  public:                                                                                                    \
    TListColumns& Columns() {                                                                                \
        return *columns_;                                                                                    \
    }                                                                                                        \
    const TListColumns& Columns() const {                                                                    \
        return *columns_;                                                                                    \
    }                                                                                                        \
    QObject* ColumnsObject() const {                                                                         \
        return columns_;                                                                                     \
    }                                                                                                        \
    TListColumn* AddColumn(const QString& caption, int width = 80) {                                         \
        return columns_->Add(caption, width);                                                                \
    }                                                                                                        \
                                                                                                             \
  private:                                                                                                   \
    TListColumns* columns_;

// A list view in report style. Columns are a collection; rows are items with
// a caption and sub-items.
class TListView : public QTreeWidget {
    Q_OBJECT
    HALVEX_CONTROL_PROPERTIES
    HALVEX_LIST_COLUMNS
  public:
    TListView(const QString& name, QWidget* parent);
    // Adds a row: caption then sub-items.
    QTreeWidgetItem* AddRow(const QStringList& cells);

  signals:
    // A double click anywhere in the list, on a row or below the last one.
    void DblClick();

  protected:
    void mouseDoubleClickEvent(QMouseEvent* event) override;

  private:
    void refreshHeader();
};

// Gives the view's columns the collection's widths (0 hides a column) and
// shows the sort arrow of the column whose image index marks it.
void ShowColumns(QTreeView& view, const TListColumns& columns);

// A menu item. An item with sub-items owns a menu of them.
class TMenuItem : public QAction {
    Q_OBJECT
    Q_PROPERTY(QString Caption READ text WRITE setText)
    Q_PROPERTY(QString Hint READ statusTip WRITE setStatusTip)
    Q_PROPERTY(bool Checked READ isChecked WRITE setChecked)
    Q_PROPERTY(bool Enabled READ isEnabled WRITE setEnabled)
    Q_PROPERTY(bool Visible READ isVisible WRITE setVisible)
  public:
    TMenuItem(const QString& name, const QString& caption, QObject* owner);
    // Adds a sub-item (creating this item's menu on first use).
    TMenuItem* Add(const QString& name, const QString& caption);
    void AddSeparator();
    QMenu* SubMenu() const { return menu_; }
    // The menu of this item's sub-items, created on first use.
    QMenu* EnsureSubMenu();

  private:
    QMenu* menu_ = nullptr;
};

class TMainMenu : public QMenuBar {
    Q_OBJECT
  public:
    TMainMenu(const QString& name, QWidget* parent);
    TMenuItem* Add(const QString& name, const QString& caption);
};

class TPopupMenu : public QMenu {
    Q_OBJECT
  public:
    TPopupMenu(const QString& name, QWidget* parent);
    TMenuItem* Add(const QString& name, const QString& caption);
};

// A timer with the original's Enabled switch: enabling starts it, disabling
// stops it. Enabling a running timer leaves its countdown alone (QTimer::start
// would begin it again, and a caller that enables it on every event would keep
// it from ever firing); switching it off and on, or a new interval, starts the
// countdown over.
class TTimer : public QTimer {
    Q_OBJECT
    Q_PROPERTY(bool Enabled READ Enabled WRITE SetEnabled)
    Q_PROPERTY(int Interval READ interval WRITE SetInterval)
  public:
    TTimer(const QString& name, int intervalMs, bool enabled, QObject* owner);
    bool Enabled() const { return isActive(); }
    void SetEnabled(bool on);
    void SetInterval(int ms);
};

// A file dialog as a component of its form: its title and filter are
// published texts, which the translation engine sets like any caption.
class TOpenDialog : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString Title READ Title WRITE SetTitle)
    Q_PROPERTY(QString Filter READ Filter WRITE SetFilter)
  public:
    TOpenDialog(const QString& name, const QString& title, const QString& filter, QObject* owner);
    QString Title() const { return title_; }
    void SetTitle(const QString& t) { title_ = t; }
    QString Filter() const { return filter_; }
    void SetFilter(const QString& f) { filter_ = f; }
    // Asks for a file above `owner`; empty when cancelled.
    virtual std::string Execute(QWidget* owner) const;

  private:
    QString title_;
    QString filter_;
};

class TSaveDialog : public TOpenDialog {
    Q_OBJECT
  public:
    using TOpenDialog::TOpenDialog;
    std::string Execute(QWidget* owner) const override;
};

} // namespace ui
