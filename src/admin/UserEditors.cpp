// The user editor and the phone editor of the users page. Values go to the
// database through the table classes, which quote them; here they are only
// trimmed.
#include "admin/AdminForms.h"

#include "db/DbErrorText.h"
#include "db/MainDatabase.h"
#include "db/UserTables.h"
#include "i18n/FormTranslation.h"
#include "ui/Dialogs.h"

#include <QGridLayout>
#include <QRegularExpressionValidator>

namespace {

QString s(const char* text) {
    return QString::fromUtf8(text);
}

std::string trimmed(const ui::TEdit* edit) {
    return edit->text().trimmed().toStdString();
}

// The fields of the user editor carry no '&': it separates the fields of the
// client protocol.
void refuseAmpersand(ui::TEdit* edit) {
    edit->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[^&]*")), edit));
}

} // namespace

TUserForm::TUserForm(QWidget* owner) : TForm(QStringLiteral("UserForm"), owner) {
    SetCaption(s("Dane użytkownika"));
    auto* layout = new QGridLayout(this);
    int row = 0;
    auto field = [&](const char* labelName, const char* label, const char* name, int limit) {
        layout->addWidget(new ui::TLabel(s(labelName), s(label), this), row, 0);
        auto* edit = new ui::TEdit(s(name), QString(), this);
        edit->setMaxLength(limit);
        refuseAmpersand(edit);
        layout->addWidget(edit, row++, 1);
        return edit;
    };
    Edit5 = field("Label5", "Nazwisko *", "Edit5", 64);
    Edit7 = field("Label7", "Imię", "Edit7", 32);
    Edit1 = field("Label1", "Login: *", "Edit1", 32);
    Edit2 = field("Label2", "Hasło: (*)", "Edit2", 32);
    Edit2->setEchoMode(QLineEdit::Password);
    Edit4 = field("Label4", "IP:", "Edit4", 15);
    Label4 = findChild<ui::TLabel*>(s("Label4"));
    Edit4->hide();
    Label4->hide();
    Edit6 = field("Label6", "Karta RCP (np. 012)", "Edit6", 5);
    Edit3 = field("Label3", "Status:", "Edit3", 160);
    layout->addWidget(new ui::TLabel(s("Label8"), s("Grupa:"), this), row, 0);
    comboGroups = new ui::TComboBox(s("comboGroups"), this);
    layout->addWidget(comboGroups, row++, 1);
    lblNowaGrupa = new ui::TLabel(s("lblNowaGrupa"), s("Wpisz nazwę nowej grupy do utworzenia:"), this);
    layout->addWidget(lblNowaGrupa, row, 0);
    edNowaGrupa = new ui::TEdit(s("edNowaGrupa"), QString(), this);
    edNowaGrupa->setMaxLength(64);
    layout->addWidget(edNowaGrupa, row++, 1);
    btnRemoveGroup = new ui::TButton(s("btnRemoveGroup"), s("Usuń grupę"), this);
    layout->addWidget(btnRemoveGroup, row++, 1);
    auto box = [&](const char* name, const char* caption) {
        auto* check = new ui::TCheckBox(s(name), s(caption), this);
        layout->addWidget(check, row++, 0, 1, 2);
        return check;
    };
    cbEdycjaWspolnejBazy = box("cbEdycjaWspolnejBazy", "Edycja zawartości wspólnej bazy danych");
    cbUsuwanieHistoriiPolaczen = box("cbUsuwanieHistoriiPolaczen", "Usuwanie rekordów z historii połączeń");
    chbWysylanieSms = box("chbWysylanieSms", "Wysyłanie wiadomości SMS poprzez kartę GSM");
    chbUsuwanieSms = box("chbUsuwanieSms", "Usuwanie wiadomości SMS z bazy");
    Button1 = new ui::TButton(s("Button1"), s("Zatwierdź"), this);
    Button2 = new ui::TButton(s("Button2"), s("Anuluj"), this);
    layout->addWidget(Button1, row, 0);
    layout->addWidget(Button2, row, 1);
    connect(comboGroups, &QComboBox::currentIndexChanged, this, [this] { comboGroupsChange(); });
    connect(btnRemoveGroup, &QPushButton::clicked, this, [this] { btnRemoveGroupClick(); });
    connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
    connect(Button2, &QPushButton::clicked, this, [this] { Button2Click(); });
    lgLangLinked1 = i18n::CreateLinkedTranslation(this);
}

void TUserForm::showEvent(QShowEvent* event) {
    TForm::showEvent(event);
    FormShow();
}

void TUserForm::FormShow() {
    Edit1->setText(QString::fromStdString(Login));
    Edit2->setText(QString::fromStdString(Password));
    Edit3->setText(QString::fromStdString(Status));
    Edit4->setText(QString::fromStdString(IP));
    Edit5->setText(QString::fromStdString(Surname));
    Edit6->setText(QString::fromStdString(RcpCard));
    Edit7->setText(QString::fromStdString(FirstName));
    Edit5->setFocus();
    edNowaGrupa->clear();
    edNowaGrupa->hide();
    lblNowaGrupa->hide();

    TStringList names, ids;
    {
        auto groups = db::MainTable<ServiceUserGroupsDB>();
        groups.SetResultStrings(&names);
        groups.ExecuteSQL("Select sGroupName from UserGroups");
    }
    {
        auto groups = db::MainTable<ServiceUserGroupsDB>();
        groups.SetResultStrings(&ids);
        groups.ExecuteSQL("Select idGroup from UserGroups");
    }
    const QSignalBlocker quiet(comboGroups);
    comboGroups->clear();
    comboGroups->addItem(QString::fromStdString(lgLangLinked1->GetTextOrDefault("IDS_15")));
    comboGroups->addItem(QString::fromStdString(lgLangLinked1->GetTextOrDefault("IDS_16")));
    GroupIds = {"0", "0"};
    for (std::size_t i = 0; i < names.size() && i < ids.size(); ++i) {
        comboGroups->addItem(QString::fromStdString(names[i]));
        GroupIds.push_back(ids[i]);
    }
    const int found = comboGroups->findText(QString::fromStdString(GroupName));
    comboGroups->setCurrentIndex(found >= 2 ? found : 0);
    comboGroupsChange();
}

void TUserForm::comboGroupsChange() {
    const int index = comboGroups->currentIndex();
    edNowaGrupa->setVisible(index == 1);
    lblNowaGrupa->setVisible(index == 1);
    btnRemoveGroup->setEnabled(index > 1);
}

void TUserForm::btnRemoveGroupClick() {
    const int index = comboGroups->currentIndex();
    if (index < 2 || index >= int(GroupIds.size()))
        return;
    auto groups = db::MainTable<ServiceUserGroupsDB>();
    if (groups.DeleteData(std::atoi(GroupIds[std::size_t(index)].c_str())) != 0) {
        ui::dialogs().MessageBox(lgLangLinked1->GetTextOrDefault("IDS_12"), "", ui::MB_OK, ui::IDOK);
        return;
    }
    GroupIds.erase(GroupIds.begin() + index);
    comboGroups->removeItem(index);
    comboGroups->setCurrentIndex(0);
    btnRemoveGroup->setEnabled(false);
}

void TUserForm::Button1Click() {
    Login = trimmed(Edit1);
    Password = trimmed(Edit2);
    Status = trimmed(Edit3);
    IP = trimmed(Edit4);
    Surname = trimmed(Edit5);
    RcpCard = trimmed(Edit6);
    FirstName = trimmed(Edit7);
    Privileges = (cbEdycjaWspolnejBazy->isChecked() ? 1 : 0) |
                 (cbUsuwanieHistoriiPolaczen->isChecked() ? 2 : 0) | (chbWysylanieSms->isChecked() ? 4 : 0) |
                 (chbUsuwanieSms->isChecked() ? 8 : 0);
    const std::string caption = lgLangLinked1->GetTextOrDefault("IDS_1");
    auto refuse = [&](const std::string& text, unsigned icon) {
        ui::dialogs().MessageBox(text, caption, icon | ui::MB_OK, ui::IDOK);
    };
    if (Surname.empty() || Login.empty() || Password.empty()) {
        refuse(lgLangLinked1->GetTextOrDefault("IDS_0"), ui::MB_ICONINFORMATION);
        return;
    }
    const int index = comboGroups->currentIndex();
    if (index <= 0) {
        GroupId = 0;
        GroupName.clear();
    } else if (index == 1) {
        const std::string name = trimmed(edNowaGrupa);
        if (name.empty()) {
            refuse(lgLangLinked1->GetTextOrDefault("IDS_2"), ui::MB_ICONWARNING);
            return;
        }
        TStringList found;
        auto lookUp = [&] {
            found.clear();
            auto groups = db::MainTable<ServiceUserGroupsDB>();
            groups.SetResultStrings(&found);
            groups.CheckExistGroup(name);
        };
        lookUp();
        if (!found.empty()) {
            refuse(lgLangLinked1->GetTextOrDefault("IDS_4"), ui::MB_ICONWARNING);
            return;
        }
        auto groups = db::MainTable<ServiceUserGroupsDB>();
        groups.sGroupName = name;
        if (const int status = groups.InsertData(); status != 0) {
            refuse(lgLangLinked1->GetTextOrDefault("IDS_6") + GetDbErrorText(status), ui::MB_ICONWARNING);
            return;
        }
        lookUp();
        if (found.empty()) {
            refuse(lgLangLinked1->GetTextOrDefault("IDS_8"), ui::MB_ICONWARNING);
            return;
        }
        GroupId = std::atoi(found.front().c_str());
        GroupName = name;
    } else {
        GroupName = comboGroups->currentText().toStdString();
        GroupId = index < int(GroupIds.size()) ? std::atoi(GroupIds[std::size_t(index)].c_str()) : 0;
    }
    TStringList users;
    {
        auto table = db::MainTable<ServiceUseresDB>();
        table.SetResultStrings(&users);
        table.CheckExistUser(Login);
    }
    for (const std::string& id : users) {
        if (id != UserId) {
            refuse(lgLangLinked1->GetTextOrDefault("IDS_10"), ui::MB_ICONWARNING);
            return;
        }
    }
    SetModalResult(ui::mrOk);
}

void TUserForm::Button2Click() {
    SetModalResult(ui::mrCancel);
}

TTelFm::TTelFm(QWidget* owner) : TForm(QStringLiteral("TelFm"), owner) {
    SetCaption(s("Telefon"));
    auto* layout = new QGridLayout(this);
    layout->addWidget(new ui::TLabel(s("Label1"), s("Numer telefonu:"), this), 0, 0);
    Edit1 = new ui::TEdit(s("Edit1"), QString(), this);
    Edit1->setMaxLength(16);
    // An extension: digits and the exchange's P, * and #.
    Edit1->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9Pp*#]*")), Edit1));
    layout->addWidget(Edit1, 0, 1);
    layout->addWidget(new ui::TLabel(s("Label2"), s("Nazwa:"), this), 1, 0);
    Edit2 = new ui::TEdit(s("Edit2"), QString(), this);
    Edit2->setMaxLength(28);
    layout->addWidget(Edit2, 1, 1);
    Button1 = new ui::TButton(s("Button1"), s("Zatwierdź"), this);
    Button2 = new ui::TButton(s("Button2"), s("Anuluj"), this);
    Button2->SetModalResult(ui::mrCancel);
    layout->addWidget(Button1, 2, 0);
    layout->addWidget(Button2, 2, 1);
    connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
    lgLangLinked1 = i18n::CreateLinkedTranslation(this);
}

void TTelFm::showEvent(QShowEvent* event) {
    TForm::showEvent(event);
    FormActivate();
}

void TTelFm::FormActivate() {
    Edit1->setText(QString::fromStdString(Number));
    Edit2->setText(QString::fromStdString(Name));
    Edit1->setFocus();
}

void TTelFm::Button1Click() {
    Number = trimmed(Edit1);
    Name = trimmed(Edit2);
    if (Number.empty() || Name.empty()) {
        ui::dialogs().MessageBox(lgLangLinked1->GetTextOrDefault("IDS_6"), "", ui::MB_OK, ui::IDOK);
        return;
    }
    TStringList found;
    {
        auto phones = db::MainTable<ServiceUserPhonesDB>();
        phones.SetResultStrings(&found);
        phones.CheckExistPhone(Number);
    }
    if (!found.empty() && (SelectedPhoneId.empty() || found.front() != SelectedPhoneId)) {
        std::string text = lgLangLinked1->GetTextOrDefault("IDS_0");
        const std::string owner =
            OwnerOfPhone ? OwnerOfPhone(std::atoi(found.front().c_str())) : std::string();
        if (!owner.empty())
            text += lgLangLinked1->GetTextOrDefault("IDS_1") + owner;
        ui::dialogs().MessageBox(text, lgLangLinked1->GetTextOrDefault("IDS_2"),
                                 ui::MB_ICONWARNING | ui::MB_OK, ui::IDOK);
        return;
    }
    SetModalResult(ui::mrOk);
}
