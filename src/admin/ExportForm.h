// The export of a list of the main window to a delimited text file, with the
// columns the administrator picks, in the order picked.
#pragma once

#include "ui/Components.h"

class TlgLangLinked;

class TExportuj : public ui::TForm {
    Q_OBJECT
  public:
    explicit TExportuj(QWidget* owner = nullptr);
    TlgLangLinked* lgLangLinked1 = nullptr;

    // The list whose rows are exported (a list view or a virtual list); set
    // by the opener, not owned.
    QTreeView* SourceList = nullptr;

    ui::TListBox* ListBox1 = nullptr; // every column but the hidden first
    ui::TListBox* ListBox2 = nullptr; // the chosen ones, in file order
    ui::TEdit* Separator = nullptr;
    ui::TMemo* Memo = nullptr; // the file's lines, not shown
    ui::TLabel* Label4 = nullptr;
    ui::TLabel* Label6 = nullptr;
    ui::TButton* EksportujButton = nullptr;
    ui::TButton* Button2 = nullptr;
    ui::TPopupMenu* PopupMenu1 = nullptr;
    ui::TMenuItem* Usu1 = nullptr;
    ui::TSaveDialog* SaveDialog1 = nullptr;

    void FormShow();
    // A drag from a list box dropped on ListBox2: its selected entry is added.
    void ListBox2DragDrop(QListWidget* source);
    void ListBox1DblClick();
    void Label6DblClick();
    void ListBox2DblClick();
    void Usu1Click();
    void EksportujButtonClick();

  protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
};
