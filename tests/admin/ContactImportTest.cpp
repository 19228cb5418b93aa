// The contact import form against a real embedded database: files read,
// fields chosen, contacts and groups stored, kept in memory and broadcast.
#include "admin/ContactCsv.h"
#include "admin/ContactImportForm.h"
#include "admin/ContactList.h"
#include "admin/ExportForm.h"
#include "db/ContactTables.h"
#include "db/MainDatabase.h"
#include "db/SessionDB.h"
#include "db/SqlText.h"
#include "i18n/LangComponent.h"
#include "platform/WireCodePage.h"
#include "shell/ProgressWindow.h"
#include "support/FirebirdFixtures.h"
#include "support/MainFormFixture.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QTimer>
#include <QUdpSocket>

#include <algorithm>

namespace {

class ContactImport : public testing_support::MainFormFixture {
  protected:
    void SetUp() override {
        MainFormFixture::SetUp();
        platform::setWireCodePage(platform::WireCodePage::Cp1250);
        ASSERT_NO_FATAL_FAILURE(testfb::EmbeddedInSettings(c, folder.file("import.fdb")));
        createForm("DEBUG");
        ASSERT_NO_FATAL_FAILURE(testfb::AttachAndCreateSchema(c));
        form->SetActiveLanguage(0); // the texts checked are the Polish ones
        OknoInfo = new TOknoInfo();
        importForm = std::make_unique<TImport_kont>();
        importForm->SetConsole(&form->Admin());
        importForm->FormActivate();
        ASSERT_TRUE(listener.bind(QHostAddress::LocalHost, 0));
        form->Clients().CreateUdpSender(form.get(), listener.localPort(), "127.0.0.1");
    }
    void TearDown() override {
        importForm.reset();
        delete OknoInfo;
        OknoInfo = nullptr;
        MainFormFixture::TearDown();
        testfb::DetachMain();
    }

    void sql(const std::string& statement) { ASSERT_EQ(testfb::MainSql(c, statement), 0) << statement; }
    std::string query(const std::string& select) { return testfb::MainQuery(c, select); }
    // Writes the file (UTF-8 given, wire code page written) and reads it
    // through the form's "Odczytaj plik".
    void readFile(const std::string& utf8, bool asWire = true) {
        const std::string path = folder.file("contacts.csv");
        QFile file(QString::fromStdString(path));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        const std::string bytes = asWire ? platform::toWire(utf8) : utf8;
        file.write(bytes.data(), qint64(bytes.size()));
        file.close();
        readPath(path);
    }
    void readPath(const std::string& path) {
        dialogs->QueueText(path);
        importForm->btnOdczytajClick();
    }
    // Gives file column `column` the field of that entry.
    void choose(int column, int entry) {
        importForm->ListView1->setCurrentItem(importForm->ListView1->topLevelItem(column));
        importForm->ComboBox2->setCurrentIndex(entry);
        importForm->ComboBox2Change();
    }
    std::string lastMessage() {
        const auto calls = dialogs->Calls();
        return calls.empty() ? std::string() : calls.back().text;
    }
    std::string text(const char* key) { return importForm->lgLangLinked1->GetTextOrDefault(key); }
    std::vector<std::string> datagrams(std::size_t count) {
        std::vector<std::string> received;
        QDeadlineTimer deadline(10000);
        while (received.size() < count && !deadline.hasExpired()) {
            listener.waitForReadyRead(50);
            while (listener.hasPendingDatagrams()) {
                QByteArray datagram(int(listener.pendingDatagramSize()), '\0');
                listener.readDatagram(datagram.data(), datagram.size());
                received.push_back(platform::fromWire(datagram.toStdString()));
            }
        }
        return received;
    }

    void roundTrip(const std::vector<std::string>& letters);

    testfb::DatabaseFolder folder;
    testfb::Connection c;
    std::unique_ptr<TImport_kont> importForm;
    QUdpSocket listener;
};

// Entries of the field choice, as the contact list's columns give them.
enum { Group = 1, Company, JobPosition, Name, FirstName, Phone, Home, Mobile, Mail, Www, Street, City, Code };

TEST_F(ContactImport, MalformedFilesAreRefusedOrImportNothing) {
    readFile(std::string(256, 'x') + ";Imię;\r\nKowalski;Jan;\r\n");
    EXPECT_EQ(lastMessage(), text("IDS_0"));
    EXPECT_EQ(importForm->ListView1->topLevelItemCount(), 0);
    EXPECT_FALSE(importForm->btnImport->isEnabled());

    readFile(std::string("Nazwisko;\r\nKo\0walski;\r\n", 23), false);
    EXPECT_EQ(lastMessage(), text("IDS_0"));
    EXPECT_FALSE(importForm->btnImport->isEnabled());

    std::string twenty;
    for (int i = 0; i < 20; ++i)
        twenty += "k" + std::to_string(i) + ";";
    readFile(twenty + "\r\n");
    EXPECT_EQ(importForm->ListView1->topLevelItemCount(), 16);
    EXPECT_TRUE(importForm->btnImport->isEnabled());
    // Switching away and back: the file must be read again.
    importForm->FormActivate();
    EXPECT_FALSE(importForm->btnImport->isEnabled());

    readFile("");
    EXPECT_EQ(importForm->ListView1->topLevelItemCount(), 0);
    EXPECT_FALSE(importForm->btnImport->isEnabled());

    readFile("Nazwisko;Imię;\r\n;;\r\n\r\n");
    choose(0, Name);
    choose(1, Name); // a field feeds one column only
    EXPECT_EQ(importForm->ColumnFieldMap()[1], 0);
    EXPECT_EQ(importForm->ListView1->topLevelItem(0)->text(1), "Nazwisko");
    importForm->btnImportClick();
    EXPECT_EQ(lastMessage(), text("IDS_34") + "0)");
    EXPECT_EQ(dialogs->Calls().back().caption, text("IDS_33"));

    // No separator: nothing to read or import with.
    importForm->Separator->clear();
    EXPECT_FALSE(importForm->btnOdczytaj->isEnabled());
    EXPECT_FALSE(importForm->btnImport->isEnabled());
    EXPECT_EQ(query("SELECT COUNT(*) FROM contactpriv"), "0\n");
    EXPECT_EQ(query("SELECT COUNT(*) FROM ContactGroups"), "0\n");
}

TEST_F(ContactImport, LinesBecomeContactsWithTheirFieldTreatmentsAndRefusalsAreCounted) {
    sql("CREATE EXCEPTION import_refused 'refused'");
    sql("CREATE TRIGGER refuse_contact FOR contactpriv BEFORE INSERT POSITION 10 AS BEGIN "
        "IF (NEW.name STARTING WITH 'Odrzucony') THEN EXCEPTION import_refused; END");
    sql("CREATE TRIGGER refuse_group FOR ContactGroups BEFORE INSERT POSITION 10 AS BEGIN "
        "IF (NEW.sGroupName = 'Zablokowana') THEN EXCEPTION import_refused; END");
    const std::string longGroup(70, 'G');
    readFile("Nazwisko;Grupa;Tel. kom.;Ulica;Stanowisko;Pominięte;\r\n"
             "Kowalski;Klienci;+48 (600) 100-200 *#p;(null);Prezes;x;\r\n"
             "(null);Klienci;;Długa 1;;;\r\n"
             "Odrzucony 1;Klienci;;;;;\r\n"
             "Nowak;" +
             longGroup +
             ";;;;;\r\n"
             "Odrzucony 2;;;;;;\r\n"
             "Wiśniewska;Zablokowana;;;;;\r\n"
             "O'Brien \"Bob\";Klienci;;;;\r\n"
             "Zieliński;Klienci;1;Polna;Kierownik\r\n"
             "Lewandowski;;;;;;\r\n"
             "Wójcik;;;;;;\r\n");
    choose(0, Name);
    choose(1, Group);
    choose(2, Mobile);
    choose(3, Street);
    choose(4, JobPosition);
    // Once the import runs, the event loop serves others between lines.
    std::size_t rowsWhenServed = 0;
    QString progressCaption;
    QTimer::singleShot(0, [&] {
        rowsWhenServed = form->Admin().ContactRows.size();
        progressCaption = OknoInfo->isVisible() ? OknoInfo->Caption() : QString();
    });
    importForm->btnImportClick();

    EXPECT_EQ(lastMessage(), "Lista kontaktów zaimportowana z pominieciem pustych, powtórzonych i błędnych "
                             "rekordów.\r\nZaimportowano 8 wpisów, 2 błędów importu rekordu.");
    EXPECT_LT(rowsWhenServed, 8u);
    EXPECT_EQ(progressCaption.toStdString(), text("IDS_3"));
    const auto calls = dialogs->Calls();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[calls.size() - 2].text.rfind(text("IDS_30"), 0), 0u) << calls[calls.size() - 2].text;
    EXPECT_EQ(query("SELECT COUNT(*) FROM contactpriv"), "8\n");
    EXPECT_EQ(query("SELECT COUNT(*) FROM ContactGroups"), "2\n");

    const auto& rows = form->Admin().ContactRows;
    ASSERT_EQ(rows.size(), 8u);
    EXPECT_EQ(rows[0].Mobile, "48600100200*#p");
    EXPECT_EQ(rows[0].Address, "");
    EXPECT_EQ(rows[1].Name, "(null)");
    EXPECT_EQ(rows[0].nGroupId, rows[1].nGroupId); // the group made once
    EXPECT_EQ(form->Admin().ContactGroupRows.at(rows[2].nGroupId), std::string(63, 'G'));
    EXPECT_EQ(rows[3].Name, "Wiśniewska");
    EXPECT_EQ(rows[3].nGroupId, 0);
    EXPECT_EQ(rows[4].Name, "O'Brien \"Bob\"");
    EXPECT_EQ(rows[5].JobPosition, "Kierownik"); // no separator at the end of the line
    EXPECT_EQ(query("SELECT name FROM contactpriv WHERE idContactPriv = " + rows[4].idContactPriv),
              "O'Brien \"Bob\"\n");
    EXPECT_EQ(form->lvKontakty->ItemCount(), 8);

    const auto sent = datagrams(10);
    ASSERT_EQ(sent.size(), 10u);
    const std::string groupId = std::to_string(rows[0].nGroupId);
    EXPECT_EQ(sent[0], "!DBG_ADD&" + groupId + "&Klienci\r\n");
    EXPECT_EQ(sent[1], "!DB_ADD&" + rows[0].idContactPriv + "&Prezes&Kowalski&&&&48600100200*#p&&&&&&&" +
                           groupId + "\r\n");
    EXPECT_EQ(sent[3].rfind("!DBG_ADD&", 0), 0u);
}

// What the contact list shows of each contact (id left out), in a fixed order.
std::vector<std::string> shownContacts(const admin::Console& console,
                                       const std::function<std::string(const std::string&)>& treat) {
    std::vector<std::string> shown;
    for (const ContactRow& row : console.ContactRows) {
        QStringList cells = admin::ContactCells(row, console.ContactGroupRows);
        cells.removeFirst();
        for (QString& cell : cells)
            cell = QString::fromStdString(treat(cell.toStdString()));
        shown.push_back(cells.join(QStringLiteral(" | ")).toStdString());
    }
    std::sort(shown.begin(), shown.end());
    return shown;
}

// 50 contacts in 5 groups, with the letters given and every character a
// delimited file could trip on inside their fields, exported with every
// column and imported into the emptied base.
void ContactImport::roundTrip(const std::vector<std::string>& letters) {
    const std::vector<std::string> tricky{"'", "\"", ";", "\t", "\r\n", "„", "”", " "};
    const auto value = [&](int i, int k) {
        return "A" + letters[std::size_t(i + k) % letters.size()] +
               tricky[std::size_t(i * 3 + k) % tricky.size()] +
               letters[std::size_t(i + 2 * k) % letters.size()] + std::to_string(i);
    };
    std::vector<std::string> groupIds;
    for (int g = 0; g < 5; ++g) {
        auto group = db::MainTable<ServiceContactGroupsDB>();
        group.sGroupName = value(g, 7) + " " + tricky[std::size_t(g)] + "Grupa";
        ASSERT_EQ(group.InsertData(), 0);
        groupIds.push_back(group.idGroup);
    }
    for (int i = 0; i < 50; ++i) {
        auto contact = db::MainTable<ServiceContactsDB>();
        contact.nGroupId = i % 7 == 6 ? "0" : groupIds[std::size_t(i) % groupIds.size()];
        contact.company = value(i, 1);
        contact.JOBPOSITION = value(i, 2);
        contact.name = value(i, 3);
        contact.firstname = value(i, 4);
        contact.phone = "600" + std::to_string(i);
        contact.home = i % 2 ? "*12#p" + std::to_string(i) : "";
        contact.mobile = std::to_string(500 + i);
        contact.mail = value(i, 5) + "@example.com";
        contact.www = value(i, 6);
        contact.address = value(i, 8);
        contact.city = value(i, 9);
        contact.postcode = letters[std::size_t(i) % letters.size()] + ";" + std::to_string(i);
        ASSERT_EQ(contact.InsertDataWithId(), 0) << i;
    }
    admin::Console& console = form->Admin();
    console.ContactsLoaded = false;
    console.LoadContacts();
    ASSERT_EQ(console.ContactRows.size(), 50u);
    ASSERT_TRUE(std::any_of(console.ContactRows.begin(), console.ContactRows.end(),
                            [&](const ContactRow& row) { return row.Name == value(0, 3); }))
        << "the letters are stored as written";
    const auto expected = shownContacts(
        console, [](const std::string& cell) { return TrimSqlValue(admin::CleanCsvValue(cell, ";")); });

    TExportuj exporter;
    exporter.SourceList = form->lvKontakty;
    exporter.FormShow();
    exporter.Label6DblClick();
    const std::string path = folder.file("export.csv");
    dialogs->QueueText(path);
    exporter.EksportujButtonClick();

    sql("DELETE FROM contactpriv");
    sql("DELETE FROM ContactGroups");
    console.ContactsLoaded = false;
    console.LoadContacts();
    ASSERT_TRUE(console.ContactRows.empty());

    importForm->FormActivate();
    readPath(path);
    ASSERT_EQ(importForm->ListView1->topLevelItemCount(), 13);
    for (int column = 0; column < 13; ++column)
        choose(column, column + 1);
    importForm->btnImportClick();
    EXPECT_EQ(lastMessage(), text("IDS_34") + "50)");

    console.ContactsLoaded = false;
    console.LoadContacts();
    EXPECT_EQ(query("SELECT COUNT(*) FROM ContactGroups"), "5\n");
    EXPECT_EQ(shownContacts(console, [](const std::string& cell) { return cell; }), expected);
}

TEST_F(ContactImport, AnExportedBaseImportsBackFieldForFieldUnderBothCodePages) {
    roundTrip(
        {"ą", "ć", "ę", "ł", "ń", "ó", "ś", "ź", "ż", "Ą", "Ć", "Ę", "Ł", "Ń", "Ó", "Ś", "Ź", "Ż", "é", "ü"});
    if (HasFailure())
        return;
    sql("DELETE FROM contactpriv");
    sql("DELETE FROM ContactGroups");
    testfb::DetachMain();
    platform::setWireCodePage(platform::WireCodePage::Cp1251);
    ASSERT_NO_FATAL_FAILURE(testfb::AttachAndCreateSchema(c));
    roundTrip({"ж", "щ", "ы", "я", "Ё", "Ъ", "Ю", "Ф", "ц"});
}

} // namespace
