// The contact dialog ("Dodaj kontakt" / "Edytuj kontakt"): one shared
// contact, its group, and the making and removing of groups.
#pragma once

#include "ui/Components.h"

#include <cstdint>
#include <string>

class TlgLangLinked;

namespace admin {
class Console;
}

class TAddAForm : public ui::TForm {
    Q_OBJECT
  public:
    // `editRow`: the row of the console's contacts being edited, -1 to add.
    TAddAForm(QWidget* owner, admin::Console& console, int editRow);
    TlgLangLinked* lgLangLinked1 = nullptr;

    // The most characters the note holds.
    static constexpr int NoteLimit = 999;

    void FormActivate();
    void comboGroupsChange();
    void AkceptBtn1Click();
    void btnRemoveGroupClick();

    // The contact being edited: its id and its group.
    std::string ContactId;
    int32_t GroupId = 0;

    ui::TComboBox* comboGroups = nullptr;
    ui::TLabel* lblNewGroup = nullptr;
    ui::TEdit* edNowaGrupa = nullptr;
    ui::TEdit *edCompany, *edStanowisko, *NazwaEdit, *edImie, *NumerEdit, *edHome, *edMobile, *edMail, *edWWW,
        *UlicaEdit, *MiastoEdit, *KodEdit;
    ui::TMemo* Memo1 = nullptr;
    ui::TButton* AkceptBtn1 = nullptr;
    ui::TButton* BitBtn2 = nullptr;
    ui::TButton* btnRemoveGroup = nullptr;

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    void fillGroups(int32_t selectedGroup);
    std::string text(const char* key) const;
    void warn(const char* key, int status);

    admin::Console& console_;
    int editRow_;
    bool filled_ = false;
};

// What a number field keeps of a text: digits, '#', '+', '*' and 'p'.
QString AllowedNumberText(const QString& text);
