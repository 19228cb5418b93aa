// The contact import form ("Importuj baze kontaktów"): reads a delimited
// file, lets each header column be given a contact field, and hands the
// import to the console.
#pragma once

#include "admin/Console.h"
#include "admin/ContactCsvReader.h"
#include "ui/Components.h"

#include <string>

class TlgLangLinked;

class TImport_kont : public ui::TForm {
    Q_OBJECT
  public:
    explicit TImport_kont(QWidget* owner = nullptr);
    TlgLangLinked* lgLangLinked1 = nullptr;

    // The console that imports and names the fields; set by the main window.
    void SetConsole(admin::Console* console) { console_ = console; }

    void btnOdczytajClick();
    void btnImportClick();
    void ListView1Click();
    void ComboBox2Change();
    void FormActivate();
    void FormShow();

    // The chosen entry of ComboBox2 per file column (0: not imported).
    const admin::Console::ImportFieldMap& ColumnFieldMap() const { return columnFieldMap_; }

    ui::TLabel* Label1 = nullptr;
    ui::TEdit* Separator = nullptr;
    ui::TListView* ListView1 = nullptr;
    ui::TComboBox* ComboBox2 = nullptr;
    ui::TButton* btnOdczytaj = nullptr;
    ui::TButton* btnImport = nullptr;
    ui::TButton* btnZamknij = nullptr;
    ui::TOpenDialog* OpenDialog1 = nullptr;

  protected:
    void showEvent(QShowEvent* event) override;
    bool event(QEvent* event) override;

  private:
    std::string text(const char* key) const;
    void placeComboBox();
    QChar separatorChar() const;

    admin::Console* console_ = nullptr;
    admin::Console::ImportFieldMap columnFieldMap_{};
    // The read file, until the next read or show (the hidden memo of old).
    admin::ContactCsvFile file_;
};
