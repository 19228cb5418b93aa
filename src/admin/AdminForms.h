// The administration console's forms, created at start in a fixed order.
#pragma once

#include "admin/ContactImportForm.h"
#include "admin/ExportForm.h"
#include "admin/SettingsDialog.h"
#include "ui/Components.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class TlgLangLinked;

// The user editor ("Dane użytkownika"). The caller fills the members
// before showing it and reads them after it closed with OK.
class TUserForm : public ui::TForm {
    Q_OBJECT
  public:
    explicit TUserForm(QWidget* owner = nullptr);
    TlgLangLinked* lgLangLinked1 = nullptr;

    void FormShow();
    void comboGroupsChange();
    void btnRemoveGroupClick();
    // "Zatwierdź": closes with OK when the data is valid.
    void Button1Click();
    void Button2Click();

    // The group ids parallel to the items of comboGroups.
    std::vector<std::string> GroupIds;
    std::string Surname, FirstName, Login, Password, IP, RcpCard, Status;
    std::string UserId; // empty when a user is added
    int Privileges = 0;
    int GroupId = 0;
    std::string GroupName;

    ui::TEdit *Edit1, *Edit2, *Edit3, *Edit4, *Edit5, *Edit6, *Edit7;
    ui::TLabel* Label4 = nullptr;
    ui::TComboBox* comboGroups = nullptr;
    ui::TLabel* lblNowaGrupa = nullptr;
    ui::TEdit* edNowaGrupa = nullptr;
    ui::TButton* btnRemoveGroup = nullptr;
    ui::TCheckBox* cbEdycjaWspolnejBazy = nullptr;
    ui::TCheckBox* cbUsuwanieHistoriiPolaczen = nullptr;
    ui::TCheckBox* chbWysylanieSms = nullptr;
    ui::TCheckBox* chbUsuwanieSms = nullptr;
    ui::TButton* Button1 = nullptr;
    ui::TButton* Button2 = nullptr;

  protected:
    void showEvent(QShowEvent* event) override;
};

// The phone editor ("Telefon").
class TTelFm : public ui::TForm {
    Q_OBJECT
  public:
    explicit TTelFm(QWidget* owner = nullptr);
    TlgLangLinked* lgLangLinked1 = nullptr;

    void FormActivate();
    // "Zatwierdź": closes with OK when the number may be stored.
    void Button1Click();

    std::string Number, Name;
    // The nID of the phone being edited; empty when one is added.
    std::string SelectedPhoneId;
    // The owner of a phone id ("" when unknown), for the refusal's text.
    std::function<std::string(int)> OwnerOfPhone;

    ui::TEdit* Edit1 = nullptr;
    ui::TEdit* Edit2 = nullptr;
    ui::TButton* Button1 = nullptr;
    ui::TButton* Button2 = nullptr;

  protected:
    void showEvent(QShowEvent* event) override;
};

// A phrase search over one list view of the main window. Each search goes
// on after the row the last one found; a change of the phrase starts again
// at the top.
class TFindForm : public ui::TForm {
    Q_OBJECT
  public:
    // The searched texts of one row: every column but the first, which holds
    // a hidden identifier or an address.
    using RowTexts = std::function<QStringList(int row)>;
    // Without `rowTexts` the rows' own sub-items are searched.
    TFindForm(QWidget* owner, QTreeView* list, RowTexts rowTexts = {});
    TlgLangLinked* lgLangLinked1 = nullptr;
    ui::TEdit* Edit1 = nullptr;
    ui::TButton* FindButton = nullptr;

    void FindButtonClick();
    void Edit1Change();
    int SearchPosition() const { return searchPosition_; }

  private:
    bool rowContains(int row, const QString& phrase) const;

    QTreeView* list_;
    RowTexts rowTexts_;
    int searchPosition_ = 0;
};

// Finds the user a telephone number belongs to.
class TfrmFindPhone : public ui::TForm {
    Q_OBJECT
  public:
    static constexpr int PhoneLimit = 6;
    explicit TfrmFindPhone(QWidget* owner = nullptr);
    TlgLangLinked* lgLangLinked1 = nullptr;
    ui::TEdit* edPhone = nullptr;
    ui::TButton* btnSzukaj = nullptr;
    // Runs the search for a number; set by the console.
    std::function<void(const std::string& number)> OnSearch;

    void btnSzukajClick();

  protected:
    void showEvent(QShowEvent* event) override;
};

// The administrator's message to every connected client.
class TfrmMessage : public ui::TForm {
    Q_OBJECT
  public:
    // The most characters a message may have.
    static constexpr int MessageLimit = 900;
    explicit TfrmMessage(QWidget* owner = nullptr);
    TlgLangLinked* lgLangLinked1 = nullptr;
    ui::TMemo* Memo1 = nullptr;
    ui::TButton* btnSendMessage = nullptr;
};

// Esc anywhere in the form closes it with mrCancel: the form sees the key
// before its controls do. Covers the controls the form has now.
void CancelOnEscape(ui::TForm& form);

// The text with what a message may not hold removed ('&', which separates
// the fields, and whatever is the byte 255, which ends the message, in the
// wire code page), cut to the message limit.
QString AllowedMessageText(const QString& text);

// The editor of one routing rule for received SMS: priority, the two
// patterns and up to 20 recipients chosen from the users.
class TfrmSmsRoutingRule : public ui::TForm {
    Q_OBJECT
  public:
    // The most recipients a rule may have.
    static constexpr int MaxRecipients = 20;
    explicit TfrmSmsRoutingRule(QWidget* owner = nullptr);
    TlgLangLinked* lgLangLinked1 = nullptr;
    ui::TEdit* edPriority = nullptr;
    ui::TEdit* edSourcePattern = nullptr;
    ui::TEdit* edLinePattern = nullptr;
    ui::TListView* lvAvailableRecipients = nullptr;
    ui::TListView* lvRecipients = nullptr;
    ui::TButton* btnAddRecipients = nullptr;
    ui::TButton* btnRemoveRecipients = nullptr;
    ui::TButton* btnAccept = nullptr;
    ui::TButton* btnCancel = nullptr;

    // Empties both lists and offers one row per user: id, group, name.
    void FillAvailableRecipients(const std::vector<QStringList>& users);
    // Moves the users of these ids, in this order, to the chosen list;
    // ids no user has are dropped.
    void SetRuleDialogData(const std::vector<std::int32_t>& ids);
    // The chosen users' ids, top to bottom (an id that is no number is 1).
    std::vector<std::int32_t> GetRuleDialogData() const;
    void btnAddRecipientsClick();
    void btnRemoveRecipientsClick();
    void btnAcceptClick();

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void FormCreate();
};

extern TKonfiguracja* Konfiguracja;
extern TExportuj* Exportuj;
extern TImport_kont* Import_kont;
extern TUserForm* UserForm;
extern TTelFm* TelFm;
extern TfrmFindPhone* frmFindPhone;
extern TfrmMessage* frmMessage;
extern TfrmSmsRoutingRule* frmSmsRoutingRule;
