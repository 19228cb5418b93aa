// The contacts page against a real embedded database: the contact dialog,
// the deletes and the export, with two clients listening for the broadcasts.
#include "admin/AdminForms.h"
#include "admin/Console.h"
#include "admin/ContactForm.h"
#include "clients/ContactSync.h"
#include "db/SessionDB.h"
#include "i18n/LangComponent.h"
#include "platform/WireCodePage.h"
#include "support/ClientSimulator.h"
#include "support/FirebirdFixtures.h"
#include "support/MainFormFixture.h"
#include "support/Ports.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <map>

namespace {

class ContactBase : public testing_support::MainFormFixture {
  protected:
    void SetUp() override {
        MainFormFixture::SetUp();
        ASSERT_NO_FATAL_FAILURE(testfb::EmbeddedInSettings(c, folder.file("contacts.fdb")));
        createForm("DEBUG");
        ASSERT_NO_FATAL_FAILURE(testfb::AttachAndCreateSchema(c));
        ASSERT_NE(udp.Port(), 0);
        udpPort = udp.Port();
        form->Clients().CreateUdpSender(form.get(), udpPort, "127.255.255.255");
    }
    void TearDown() override {
        MainFormFixture::TearDown();
        testfb::DetachMain();
    }
    int sql(const std::string& statement) { return testfb::MainSql(c, statement); }
    std::string query(const std::string& select) { return testfb::MainQuery(c, select); }
    admin::Console& console() { return form->Admin(); }
    // Runs `step` on the contact dialog once its modal loop runs.
    void onDialog(std::function<void(TAddAForm&)> step) {
        QTimer::singleShot(0, [this, step] {
            auto* dialog = qobject_cast<TAddAForm*>(QApplication::activeModalWidget());
            ASSERT_NE(dialog, nullptr);
            step(*dialog);
            if (dialog->ModalResult() == ui::mrNone)
                dialog->SetModalResult(ui::mrCancel);
        });
    }
    int asked(const std::string& text) {
        int count = 0;
        for (const auto& call : dialogs->Calls())
            count += call.text.find(text) != std::string::npos;
        return count;
    }
    void selectRows(std::initializer_list<int> rows) {
        form->lvKontakty->clearSelection();
        for (int row : rows)
            form->lvKontakty->selectionModel()->select(form->lvKontakty->model()->index(row, 0),
                                                       QItemSelectionModel::Select |
                                                           QItemSelectionModel::Rows);
    }
    // Runs the event loop, blocking briefly so that the idle handler runs as
    // in the program, until the condition holds or 30 s pass.
    bool waitFor(const std::function<bool()>& condition) {
        QDeadlineTimer deadline(30000);
        while (!condition() && !deadline.hasExpired()) {
            QEventLoop loop;
            QTimer::singleShot(2, &loop, &QEventLoop::quit);
            loop.exec();
        }
        return condition();
    }

    testfb::DatabaseFolder folder;
    testfb::Connection c;
    testing_support::HeldUdpPort udp;
    int udpPort = 0;
};

TEST_F(ContactBase, EveryEditThroughTheFormsReachesEachListenerAsTheExactDatagram) {
    sim::ClientSimulator first, second;
    ASSERT_TRUE(first.ListenUdp(udpPort));
    ASSERT_TRUE(second.ListenUdp(udpPort));
    console().LoadContacts();
    ASSERT_TRUE(console().ContactsLoaded);

    onDialog([](TAddAForm& d) {
        d.comboGroups->setCurrentIndex(1);
        d.edNowaGrupa->setText(" Hurt & detal ");
        d.NazwaEdit->setText("O'Brien & Syn");
        d.edCompany->setText("A\\B");
        d.NumerEdit->insert("(22) 123-45 67");
        d.Memo1->setPlainText("notatka");
        d.AkceptBtn1Click();
    });
    console().DodajBtnClick();
    ASSERT_EQ(console().ContactRows.size(), 1u);
    const ContactRow added = console().ContactRows[0];
    const std::string group = std::to_string(added.nGroupId);
    const std::string id = added.idContactPriv;
    EXPECT_EQ(added.Name, "O'Brien & Syn");
    EXPECT_EQ(added.Phone, "221234567");
    EXPECT_EQ(query("SELECT name, note FROM contactpriv"), "O'Brien & Syn\nnotatka\n");
    EXPECT_EQ(form->lvKontakty->CellText(0, 1), "Hurt & detal");

    selectRows({0});
    onDialog([](TAddAForm& d) {
        EXPECT_EQ(d.Memo1->toPlainText(), "notatka");
        EXPECT_EQ(d.comboGroups->currentText(), "Hurt & detal");
        d.edImie->setText("Łucja");
        d.AkceptBtn1Click();
    });
    console().EdycjaBtnClick();
    EXPECT_EQ(console().ContactRows[0].FirstName, "Łucja");

    // Removing the group: the contact keeps pointing at it, shown without a name.
    selectRows({0});
    onDialog([](TAddAForm& d) {
        EXPECT_TRUE(d.btnRemoveGroup->isVisibleTo(&d));
        d.btnRemoveGroupClick();
        EXPECT_EQ(d.comboGroups->count(), 2);
    });
    console().lvKontaktyDblClick();
    EXPECT_EQ(console().ContactGroupRows.at(added.nGroupId), "");
    EXPECT_EQ(console().ContactRows[0].nGroupId, added.nGroupId);
    EXPECT_EQ(form->lvKontakty->CellText(0, 1), "");
    selectRows({0});
    onDialog([](TAddAForm& d) { EXPECT_EQ(d.comboGroups->currentIndex(), 0); });
    console().EdycjaBtnClick();

    selectRows({0});
    console().UsunBtn3Click();
    EXPECT_TRUE(console().ContactRows.empty());
    dialogs->QueueAnswer(ui::IDYES);
    console().Button15Click();

    const std::string fields = "O'Brien \\& Syn&&201&&&&&A\\\\B&&&&";
    const std::vector<std::string> expected = {
        "!DBG_ADD&" + group + "&Hurt \\& detal\r\n",
        "!DB_ADD&" + id + "&&O'Brien \\& Syn&&221234567&&&&&A\\\\B&&&&" + group + "\r\n",
        platform::toWire("!DB_UPD&" + id + "&&O'Brien \\& Syn&Łucja&221234567&&&&&A\\\\B&&&&" + group +
                         "\r\n"),
        "!DBG_DEL&" + group + "\r\n",
        "!DB_DEL&" + id + "\r\n",
        "!DB_DLA&\r\n"};
    for (sim::ClientSimulator* client : {&first, &second}) {
        EXPECT_TRUE(waitFor([&] { return client->Datagrams().size() >= expected.size(); }));
        EXPECT_EQ(client->Datagrams(), expected);
    }
}

TEST_F(ContactBase, TheDialogRefusesWhatCannotBeStoredAndKeepsNumbersDialable) {
    ASSERT_EQ(sql("INSERT INTO ContactGroups (idGroup, nUserId, sGroupName) VALUES (7, 0, 'Dostawcy')"), 0);
    console().LoadContacts();
    std::map<std::string, std::string> texts;
    auto accept = [&](const std::function<void(TAddAForm&)>& fill) {
        onDialog([&, fill](TAddAForm& d) {
            for (const char* key : {"IDS_0", "IDS_1", "IDS_2"})
                texts[key] = d.lgLangLinked1->GetTextOrDefault(key);
            fill(d);
            d.AkceptBtn1Click();
            EXPECT_EQ(d.ModalResult(), ui::mrNone) << "the dialog stays open";
        });
        console().DodajBtnClick();
    };
    accept([](TAddAForm& d) {
        d.Memo1->setPlainText("tylko notatka");
        d.comboGroups->setCurrentIndex(2);
        d.NazwaEdit->setText("   ");
    });
    EXPECT_EQ(asked(texts["IDS_0"]), 1);
    accept([](TAddAForm& d) {
        d.NazwaEdit->setText("Nowak");
        d.comboGroups->setCurrentIndex(1);
        d.edNowaGrupa->setText("   ");
    });
    EXPECT_EQ(asked(texts["IDS_1"]), 1);
    accept([](TAddAForm& d) {
        d.NazwaEdit->setText("Nowak");
        d.comboGroups->setCurrentIndex(1);
        d.edNowaGrupa->setText("Dostawcy");
    });
    EXPECT_EQ(asked(texts["IDS_2"]), 1);
    EXPECT_EQ(query("SELECT COUNT(*) FROM contactpriv"), "0\n");

    onDialog([](TAddAForm& d) {
        d.edMobile->insert("+48 (22) 123-45-67 wew. p12");
        EXPECT_EQ(d.edMobile->text(), "+48221234567p12");
        d.edHome->insert("abc");
        EXPECT_EQ(d.edHome->text(), "");
        EXPECT_EQ(d.NazwaEdit->maxLength(), 45);
        EXPECT_EQ(d.edStanowisko->maxLength(), 45);
        EXPECT_EQ(d.KodEdit->maxLength(), 10);
    });
    console().DodajBtnClick();

    // "Edytuj" without a selection opens nothing.
    console().EdycjaBtnClick();
    EXPECT_EQ(asked(form->Text("IDS_647")), 1);
}

TEST_F(ContactBase, ARefusedDeleteKeepsItsRowUnannouncedAndIsReportedOnce) {
    sim::ClientSimulator listener;
    ASSERT_TRUE(listener.ListenUdp(udpPort));
    for (const char* name : {"Pierwszy", "Zostaje", "Trzeci"})
        ASSERT_EQ(
            sql(std::string("INSERT INTO contactpriv (name, ctiusers_nuserid) VALUES ('") + name + "', 0)"),
            0);
    ASSERT_EQ(sql("CREATE EXCEPTION kept 'kept'"), 0);
    ASSERT_EQ(sql("CREATE TRIGGER keep_one FOR contactpriv BEFORE DELETE AS BEGIN IF (OLD.name = 'Zostaje') "
                  "THEN EXCEPTION kept; END"),
              0);
    console().LoadContacts();
    ASSERT_EQ(console().ContactRows.size(), 3u);
    selectRows({0, 1, 2});
    dialogs->QueueAnswer(ui::IDOK);
    console().UsunBtn3Click();
    EXPECT_EQ(asked(QString::fromStdString(form->Text("IDS_645")).replace("%u", "3").toStdString()), 1);
    EXPECT_EQ(asked(form->Text("IDS_713")), 1);
    ASSERT_EQ(console().ContactRows.size(), 1u);
    EXPECT_EQ(console().ContactRows[0].Name, "Zostaje");
    EXPECT_EQ(form->lvKontakty->ItemCount(), 1);
    EXPECT_EQ(query("SELECT name FROM contactpriv"), "Zostaje\n");
    EXPECT_TRUE(waitFor([&] { return listener.Datagrams().size() >= 2; }));
    for (const std::string& datagram : listener.Datagrams())
        EXPECT_TRUE(datagram.starts_with("!DB_DEL&")) << datagram;
    EXPECT_EQ(listener.Datagrams().size(), 2u);
}

TEST_F(ContactBase, TheExportWritesTheChosenColumnsOfTheListOrNothing) {
    ASSERT_EQ(sql("INSERT INTO contactpriv (name, company, firstname, ctiusers_nuserid) VALUES "
                  "('Żak', 'A;B', 'Jan', 0)"),
              0);
    ASSERT_EQ(sql("INSERT INTO contactpriv (name, company, firstname, ctiusers_nuserid) VALUES "
                  "('Ącki', 'é ü', 'Ola', 0)"),
              0);
    console().LoadContacts();
    TExportuj exportForm;
    exportForm.SourceList = form->lvKontakty;
    exportForm.show();
    ASSERT_EQ(exportForm.ListBox1->count(), 13);
    const ui::TListColumns& captions = form->lvKontakty->Columns();
    EXPECT_EQ(exportForm.ListBox1->item(0)->text(), captions[1]->Caption());
    EXPECT_EQ(exportForm.Separator->text(), ";");
    // With no field chosen the administrator is told so and no file is asked for.
    const std::size_t before = dialogs->Calls().size();
    exportForm.EksportujButtonClick();
    ASSERT_EQ(dialogs->Calls().size(), before + 1);
    const ui::ScriptedDialogs::Call told = dialogs->Calls().back();
    EXPECT_EQ(told.kind, "MessageBox");
    EXPECT_EQ(told.text, exportForm.lgLangLinked1->GetTextOrDefault("IDS_0"));
    EXPECT_FALSE(told.text.empty());
    exportForm.ListBox1->setCurrentRow(3); // Nazwisko
    exportForm.ListBox1DblClick();
    exportForm.ListBox1DblClick();
    exportForm.ListBox1->setCurrentRow(1); // Firma
    exportForm.ListBox2DragDrop(exportForm.ListBox1);
    exportForm.ListBox2->setCurrentRow(0);
    exportForm.Usu1Click();
    ASSERT_EQ(exportForm.ListBox2->count(), 2);

    QTemporaryDir dir;
    dialogs->QueueText(dir.filePath("kontakty").toStdString());
    exportForm.EksportujButtonClick();
    QFile file(dir.filePath("kontakty.csv"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const std::string rows = form->lvKontakty->CellText(0, 4) == "Żak" ? "\xaf"
                                                                         "ak;A B;\r\n\xa5"
                                                                         "cki;\xe9 \xfc;\r\n"
                                                                       : "\xa5"
                                                                         "cki;\xe9 \xfc;\r\n\xaf"
                                                                         "ak;A B;\r\n";
    EXPECT_EQ(
        file.readAll().toStdString(),
        platform::toWire((captions[4]->Caption() + ";" + captions[2]->Caption() + ";\r\n").toStdString()) +
            rows);

    dialogs->QueueText(dir.filePath("brak/kontakty.csv").toStdString());
    exportForm.EksportujButtonClick();
    EXPECT_EQ(asked(dir.filePath("brak/kontakty.csv").toStdString()), 1);
    EXPECT_FALSE(QFile::exists(dir.filePath("brak/kontakty.csv")));
}

} // namespace

// A client's report redraws the one row it touched, in place: nothing is
// rebuilt, the sort arrow stays, and a reload sorts again by it.
TEST_F(ContactBase, AClientsReportRedrawsItsRowAloneAndTheSortIsKept) {
    for (const char* name : {"Bąk", "Adamek", "Cichy"})
        ASSERT_EQ(
            sql(std::string("INSERT INTO contactpriv (name, ctiusers_nuserid) VALUES ('") + name + "', 0)"),
            0);
    console().LoadContacts();
    form->OnVirtualListColumnClick(*form->lvKontakty, 4);
    auto names = [this] {
        QStringList shown;
        for (int row = 0; row < form->lvKontakty->ItemCount(); ++row)
            shown << form->lvKontakty->CellText(row, 4);
        return shown;
    };
    ASSERT_EQ(names(), (QStringList{"Adamek", "Bąk", "Cichy"}));

    // User 1 logs in from the user list (marked loaded: no database).
    form->UserLV->clear();
    form->UserLV->AddRow(QStringList{"1", "Nowak", "Jan", "1", "secret", "", "", "", "", ""});
    form->UserLV->SetTag(2);
    ASSERT_NO_FATAL_FAILURE(testing_support::OpenClientServiceOnChosenPort(*form));
    sim::ClientSimulator client;
    ASSERT_TRUE(client.Connect(form->Settings.PortTCP));
    ASSERT_TRUE(client.LogIn("1", "secret"));
    auto okCount = [&] {
        const auto replies = client.Replies();
        return std::count(replies.begin(), replies.end(), "OK");
    };
    ASSERT_TRUE(waitFor([&] { return okCount() == 1; })) << testing::PrintToString(client.Messages());

    QAbstractItemModel* rows = form->lvKontakty->model();
    std::vector<std::string> signalled;
    QObject watch;
    QObject::connect(rows, &QAbstractItemModel::modelReset, &watch, [&] { signalled.push_back("reset"); });
    QObject::connect(rows, &QAbstractItemModel::layoutChanged, &watch,
                     [&] { signalled.push_back("layout"); });
    QObject::connect(
        rows, &QAbstractItemModel::rowsInserted, &watch, [&](const QModelIndex&, int first, int last) {
            signalled.push_back("inserted " + std::to_string(first) + "-" + std::to_string(last));
        });
    QObject::connect(rows, &QAbstractItemModel::rowsRemoved, &watch,
                     [&](const QModelIndex&, int first, int last) {
                         signalled.push_back("removed " + std::to_string(first) + "-" + std::to_string(last));
                     });
    QObject::connect(
        rows, &QAbstractItemModel::dataChanged, &watch, [&](const QModelIndex& from, const QModelIndex& to) {
            signalled.push_back("changed " + std::to_string(from.row()) + "-" + std::to_string(to.row()));
        });
    auto report = [&](const std::string& message, int oks) {
        ASSERT_TRUE(client.Send(platform::toWire(message)));
        ASSERT_TRUE(waitFor([&] { return okCount() == oks; })) << message;
    };

    ContactRow changed = console().ContactRows[1];
    ASSERT_EQ(changed.Name, "Bąk");
    changed.Name = "Bąkowski";
    report(clients::DbSynchronizer::WyslijDbZmien(changed), 2);
    EXPECT_EQ(signalled, std::vector<std::string>{"changed 1-1"});
    EXPECT_EQ(names(), (QStringList{"Adamek", "Bąkowski", "Cichy"}));
    EXPECT_EQ(form->lvKontakty->Columns()[4]->ImageIndex(), 1);

    ContactRow added = changed;
    added.idContactPriv = "9001";
    added.Name = "Dudek";
    report(clients::DbSynchronizer::WyslijDbDodaj(added), 3);
    report(clients::DbSynchronizer::WyslijDbUsun(console().ContactRows[0].idContactPriv), 4);
    EXPECT_EQ(signalled, (std::vector<std::string>{"changed 1-1", "inserted 3-3", "removed 0-0"}));
    EXPECT_EQ(names(), (QStringList{"Bąkowski", "Cichy", "Dudek"}));

    // The copy is read again from the database and sorted by the marked column.
    console().ContactsLoaded = false;
    console().LoadContacts();
    EXPECT_EQ(names(), (QStringList{"Adamek", "Bąk", "Cichy"}));
    form->Clients().WylaczSerwer();
}
