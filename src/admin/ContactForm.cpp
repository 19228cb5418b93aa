#include "admin/ContactForm.h"

#include "admin/Console.h"
#include "admin/ContactList.h"
#include "clients/ContactSync.h"
#include "db/ContactTables.h"
#include "db/DbErrorText.h"
#include "db/MainDatabase.h"
#include "db/SessionDB.h"
#include "db/SqlText.h"
#include "i18n/FormTranslation.h"
#include "ui/Dialogs.h"

#include <QGridLayout>

namespace {

QString s(const char* text) {
    return QString::fromUtf8(text);
}

std::string trimmed(const QLineEdit* edit) {
    return edit->text().trimmed().toStdString();
}

} // namespace

QString AllowedNumberText(const QString& text) {
    QString allowed;
    for (const QChar c : text)
        if ((c >= u'0' && c <= u'9') || c == u'#' || c == u'+' || c == u'*' || c == u'p')
            allowed += c;
    return allowed;
}

TAddAForm::TAddAForm(QWidget* owner, admin::Console& console, int editRow)
    : TForm(QStringLiteral("AddAForm"), owner), console_(console), editRow_(editRow) {
    SetCaption(s("Dodaj kontakt"));
    auto* layout = new QGridLayout(this);
    int row = 0;
    layout->addWidget(new ui::TLabel(s("Label13"), s("Grupa:"), this), row, 0);
    comboGroups = new ui::TComboBox(s("comboGroups"), this);
    layout->addWidget(comboGroups, row, 1);
    btnRemoveGroup = new ui::TButton(s("btnRemoveGroup"), s("Usuń grupę"), this);
    layout->addWidget(btnRemoveGroup, row++, 2);
    lblNewGroup = new ui::TLabel(s("lblNewGroup"), s("Nazwa nowej grupy:"), this);
    layout->addWidget(lblNewGroup, row, 0);
    edNowaGrupa = new ui::TEdit(s("edNowaGrupa"), QString(), this);
    edNowaGrupa->setMaxLength(64);
    layout->addWidget(edNowaGrupa, row++, 1);
    auto field = [&](const char* labelName, const char* label, const char* name, int limit) {
        layout->addWidget(new ui::TLabel(s(labelName), s(label), this), row, 0);
        auto* edit = new ui::TEdit(s(name), QString(), this);
        edit->setMaxLength(limit);
        layout->addWidget(edit, row++, 1);
        return edit;
    };
    edCompany = field("Label9", "Firma", "edCompany", 60);
    // The column holds 45 characters.
    edStanowisko = field("Label10", "Stanowisko", "edStanowisko", 45);
    NazwaEdit = field("Label1", "Nazwisko", "NazwaEdit", 45);
    edImie = field("Label2", "Imię", "edImie", 45);
    NumerEdit = field("Label3", "tel. praca", "NumerEdit", 30);
    edHome = field("Label4", "tel. domowy", "edHome", 30);
    edMobile = field("Label5", "tel. komórkowy", "edMobile", 30);
    edMail = field("Label6", "e-mail", "edMail", 50);
    edWWW = field("Label7", "www", "edWWW", 80);
    UlicaEdit = field("Label8", "Ulica:", "UlicaEdit", 160);
    MiastoEdit = field("Label11", "Miasto::", "MiastoEdit", 50);
    KodEdit = field("Label12", "Kod:", "KodEdit", 10);
    layout->addWidget(new ui::TLabel(s("Label14"), s("Notatka:"), this), row, 0);
    Memo1 = new ui::TMemo(s("Memo1"), this);
    layout->addWidget(Memo1, row++, 1);
    AkceptBtn1 = new ui::TButton(s("AkceptBtn1"), s("Zatwierdź"), this);
    BitBtn2 = new ui::TButton(s("BitBtn2"), s("Anuluj"), this);
    BitBtn2->SetModalResult(ui::mrCancel);
    layout->addWidget(AkceptBtn1, row, 0);
    layout->addWidget(BitBtn2, row, 1);

    // Typed or pasted, a number keeps only what a dial string may hold.
    for (ui::TEdit* number : {NumerEdit, edHome, edMobile})
        connect(number, &QLineEdit::textChanged, number, [number](const QString& text) {
            const QString allowed = AllowedNumberText(text);
            if (allowed != text) {
                const int position = number->cursorPosition() - int(text.size() - allowed.size());
                number->setText(allowed);
                number->setCursorPosition(std::max(0, position));
            }
        });
    connect(Memo1, &QPlainTextEdit::textChanged, Memo1, [this] {
        const QString text = Memo1->toPlainText();
        if (text.size() > NoteLimit) {
            const QSignalBlocker quiet(Memo1);
            Memo1->setPlainText(text.left(NoteLimit));
            Memo1->moveCursor(QTextCursor::End);
        }
    });
    connect(comboGroups, &QComboBox::currentIndexChanged, this, [this] { comboGroupsChange(); });
    connect(btnRemoveGroup, &QPushButton::clicked, this, [this] { btnRemoveGroupClick(); });
    connect(AkceptBtn1, &QPushButton::clicked, this, [this] { AkceptBtn1Click(); });
    lgLangLinked1 = i18n::CreateLinkedTranslation(this);
}

std::string TAddAForm::text(const char* key) const {
    return lgLangLinked1->GetTextOrDefault(key);
}

void TAddAForm::warn(const char* key, int status) {
    ui::dialogs().MessageBox(text(key) + GetDbErrorText(status), text("IDS_4"),
                             ui::MB_ICONWARNING | ui::MB_OK, ui::IDOK);
}

void TAddAForm::showEvent(QShowEvent* event) {
    TForm::showEvent(event);
    // Filled once per opening: what was typed survives a switch of windows.
    if (!filled_)
        FormActivate();
    filled_ = true;
}

void TAddAForm::FormActivate() {
    NazwaEdit->setFocus();
    const std::vector<ContactRow>& rows = console_.ContactRows;
    const bool editing = editRow_ >= 0 && std::size_t(editRow_) < rows.size();
    ui::TEdit* const fields[] = {edCompany, edStanowisko, NazwaEdit, edImie,    NumerEdit,  edHome,
                                 edMobile,  edMail,       edWWW,     UlicaEdit, MiastoEdit, KodEdit};
    Memo1->clear();
    if (!editing) {
        SetCaption(QString::fromStdString(text("IDS_5")));
        for (ui::TEdit* field : fields)
            field->clear();
        fillGroups(0);
        return;
    }
    SetCaption(QString::fromStdString(text("IDS_11")));
    const ContactRow& contact = rows[std::size_t(editRow_)];
    ContactId = contact.idContactPriv;
    GroupId = contact.nGroupId;
    const QStringList cells = admin::ContactCells(contact, console_.ContactGroupRows);
    for (int i = 0; i < 12; ++i)
        fields[i]->setText(cells[i + 2]);
    TStringList note;
    {
        auto contacts = db::MainTable<ServiceContactsDB>();
        contacts.SetResultStrings(&note);
        contacts.ExecuteSQL("SELECT NOTE FROM CONTACTPRIV WHERE IDCONTACTPRIV = '" + QuoteSql(ContactId) +
                            "'");
    }
    if (!note.empty())
        Memo1->setPlainText(QString::fromStdString(note.front()));
    fillGroups(GroupId);
}

void TAddAForm::fillGroups(int32_t selectedGroup) {
    const QSignalBlocker quiet(comboGroups);
    comboGroups->clear();
    comboGroups->addItem(QString::fromStdString(text("IDS_19")));
    comboGroups->addItem(QString::fromStdString(text("IDS_20")));
    for (const auto& [id, name] : console_.ContactGroupRows)
        if (!name.empty())
            comboGroups->addItem(QString::fromStdString(name));
    int chosen = 0;
    if (selectedGroup > 0) {
        const auto group = console_.ContactGroupRows.find(selectedGroup);
        if (group != console_.ContactGroupRows.end() && !group->second.empty())
            chosen = std::max(0, comboGroups->findText(QString::fromStdString(group->second)));
    }
    comboGroups->setCurrentIndex(chosen);
    comboGroupsChange();
}

void TAddAForm::comboGroupsChange() {
    const int index = comboGroups->currentIndex();
    btnRemoveGroup->setVisible(index >= 2);
    lblNewGroup->setVisible(index == 1);
    edNowaGrupa->setVisible(index == 1);
    if (index == 1)
        edNowaGrupa->setFocus();
}

namespace {

// The group of the chosen name: the first of that name by ascending id.
int32_t groupIdOf(const std::map<int, std::string>& groups, const std::string& name) {
    for (const auto& [id, groupName] : groups)
        if (groupName == name)
            return id;
    return 0;
}

} // namespace

void TAddAForm::AkceptBtn1Click() {
    ContactRow values;
    values.Company = trimmed(edCompany);
    values.JobPosition = trimmed(edStanowisko);
    values.Name = trimmed(NazwaEdit);
    values.FirstName = trimmed(edImie);
    values.Phone = trimmed(NumerEdit);
    values.Home = trimmed(edHome);
    values.Mobile = trimmed(edMobile);
    values.Mail = trimmed(edMail);
    values.www = trimmed(edWWW);
    values.Address = trimmed(UlicaEdit);
    values.City = trimmed(MiastoEdit);
    values.PostCode = trimmed(KodEdit);
    const std::string fields[] = {values.Company, values.JobPosition, values.Name,   values.FirstName,
                                  values.Phone,   values.Home,        values.Mobile, values.Mail,
                                  values.www,     values.Address,     values.City,   values.PostCode};
    auto inform = [this](const char* key) {
        ui::dialogs().MessageBox(text(key), text("IDS_4"), ui::MB_ICONINFORMATION | ui::MB_OK, ui::IDOK);
    };
    if (std::all_of(std::begin(fields), std::end(fields), [](const std::string& f) { return f.empty(); })) {
        inform("IDS_0");
        return;
    }
    std::map<int, std::string>& groups = console_.ContactGroupRows;
    const int index = comboGroups->currentIndex();
    if (index == 1) {
        const std::string name = trimmed(edNowaGrupa);
        if (name.empty()) {
            inform("IDS_1");
            return;
        }
        if (std::any_of(groups.begin(), groups.end(), [&](const auto& g) { return g.second == name; })) {
            inform("IDS_2");
            return;
        }
        auto table = db::MainTable<ServiceContactGroupsDB>();
        table.sGroupName = name;
        if (const int status = table.InsertData(); status != 0) {
            warn("IDS_3", status);
            return;
        }
        values.nGroupId = std::atoi(table.idGroup.c_str());
        groups[values.nGroupId] = name;
        console_.Broadcast(clients::DbSynchronizer::WyslijDbgDodaj(table.idGroup, name));
    } else if (index >= 2) {
        values.nGroupId = groupIdOf(groups, comboGroups->currentText().toStdString());
    }

    auto contacts = db::MainTable<ServiceContactsDB>();
    contacts.TakeRow(values);
    contacts.note = Memo1->toPlainText().trimmed().toStdString();
    std::vector<ContactRow>& rows = console_.ContactRows;
    const bool editing = editRow_ >= 0;
    if (!editing) {
        if (const int status = contacts.InsertDataWithId(); status != 0) {
            warn("IDS_9", status);
        } else {
            values.idContactPriv = contacts.idContactPriv;
            rows.push_back(values);
            console_.RepaintContacts();
            console_.Broadcast(clients::DbSynchronizer::WyslijDbDodaj(values));
        }
    } else {
        contacts.idContactPriv = ContactId;
        if (const int status = contacts.UpdateData(); status != 0) {
            warn("IDS_12", status);
        } else {
            values.idContactPriv = ContactId;
            const auto row = std::find_if(rows.begin(), rows.end(),
                                          [&](const ContactRow& r) { return r.idContactPriv == ContactId; });
            if (row != rows.end())
                *row = values;
            console_.RepaintContacts();
            console_.Broadcast(clients::DbSynchronizer::WyslijDbZmien(values));
        }
    }
    // Stored or refused, the dialog closes: a refused entry is not kept.
    SetModalResult(ui::mrOk);
}

void TAddAForm::btnRemoveGroupClick() {
    std::map<int, std::string>& groups = console_.ContactGroupRows;
    const int32_t id = groupIdOf(groups, comboGroups->currentText().toStdString());
    if (id == 0 || comboGroups->currentIndex() < 2)
        return;
    auto table = db::MainTable<ServiceContactGroupsDB>();
    if (const int status = table.DeleteData(id); status != 0) {
        warn("IDS_21", status);
        return;
    }
    // The entry stays: contacts keep pointing at it and show no group name.
    groups[id].clear();
    console_.RepaintContacts();
    console_.Broadcast(clients::DbSynchronizer::WyslijDbgUsun(std::to_string(id)));
    fillGroups(0);
}
