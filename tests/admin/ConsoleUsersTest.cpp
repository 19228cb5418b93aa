// The users page against a real embedded database: the lists, the editors,
// and the notices the clients get after a change.
#include "admin/AdminForms.h"
#include "admin/Console.h"
#include "base/PasswordCodec.h"
#include "clients/Klient.h"
#include "db/SessionDB.h"
#include "i18n/LangComponent.h"
#include "platform/RegistryStore.h"
#include "platform/WireCodePage.h"
#include "support/FirebirdFixtures.h"
#include "support/MainFormFixture.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTcpServer>
#include <QTimer>
#include <QUdpSocket>
#include <future>

namespace {

// Runs `step` once the editor's modal loop is running.
void whenShown(const std::function<void()>& step) {
    QTimer::singleShot(0, step);
}

class ConsoleUsers : public testing_support::MainFormFixture {
  protected:
    void SetUp() override {
        MainFormFixture::SetUp();
        ASSERT_NO_FATAL_FAILURE(testfb::EmbeddedInSettings(c, folder.file("users.fdb")));
        createForm("DEBUG");
        ASSERT_NO_FATAL_FAILURE(testfb::AttachAndCreateSchema(c));
        userEditor = std::make_unique<TUserForm>();
        phoneEditor = std::make_unique<TTelFm>();
        form->Admin().SetEditors(userEditor.get(), phoneEditor.get());
    }
    void TearDown() override {
        userEditor.reset();
        phoneEditor.reset();
        MainFormFixture::TearDown();
        testfb::DetachMain();
    }

    // Statements and queries on the window's own main connection.
    void sql(const std::string& statements) {
        std::size_t start = 0;
        while (start < statements.size()) {
            const std::size_t end = statements.find(";", start);
            const std::string statement = statements.substr(start, end - start);
            start = end == std::string::npos ? statements.size() : end + 1;
            if (statement.find_first_not_of(" \n") == std::string::npos)
                continue;
            SessionDB session(c.host, c.path, c.user, c.password, &MainDbHandle, false);
            ASSERT_EQ(session.ExecuteSQL(statement), 0) << statement;
        }
    }
    std::string query(const std::string& select) { return testfb::MainQuery(c, select); }
    bool askedWith(const char* key, TlgLangLinked* texts) { return askedWith(texts->GetTextOrDefault(key)); }

    QTreeWidgetItem* userRow(const QString& login) {
        for (int i = 0; i < form->UserLV->topLevelItemCount(); ++i)
            if (form->UserLV->topLevelItem(i)->text(3) == login)
                return form->UserLV->topLevelItem(i);
        return nullptr;
    }
    void selectUser(const QString& login) {
        QTreeWidgetItem* row = userRow(login);
        ASSERT_NE(row, nullptr) << login.toStdString();
        form->UserLV->clearSelection();
        row->setSelected(true);
    }
    bool askedWith(const std::string& text) {
        for (const auto& call : dialogs->Calls())
            if (call.text.find(text) != std::string::npos)
                return true;
        return false;
    }
    // Fills the user editor's fields and accepts; when the editor refuses,
    // cancels it.
    void acceptUser(const QString& surname, const QString& login, const QString& password,
                    const QString& status = {}) {
        whenShown([=, this] {
            userEditor->Edit5->setText(surname);
            userEditor->Edit1->setText(login);
            if (!password.isNull())
                userEditor->Edit2->setText(password);
            if (!status.isNull())
                userEditor->Edit3->setText(status);
            userEditor->Button1Click();
            if (userEditor->ModalResult() == ui::mrNone)
                userEditor->Button2Click();
        });
    }

    testfb::DatabaseFolder folder;
    testfb::Connection c;
    std::unique_ptr<TUserForm> userEditor;
    std::unique_ptr<TTelFm> phoneEditor;
};

const char* const Insert = "INSERT INTO CTIusers (sUserName, sUserLastName, sUserLogin, sUserPassword, "
                           "nGroupID, sUserIP, sRCPcard, sStatus, nPrivileges) VALUES ";

TEST_F(ConsoleUsers, AddedUsersAreStoredWithThePasswordDigestAndLoginsStayUnique) {
    form->Admin().LoadUsers();
    EXPECT_EQ(form->UserLV->Tag(), 2);
    acceptUser("Nowak", "jnowak", "tajne");
    form->Admin().AddUserBTClick();
    QTreeWidgetItem* row = userRow("jnowak");
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->text(1), "Nowak");
    EXPECT_EQ(row->text(4).toStdString(), Md5HexWire("tajne"));

    // The same login again: the editor stays open with its message.
    acceptUser("Kowal", "jnowak", "x");
    form->Admin().AddUserBTClick();
    EXPECT_TRUE(askedWith("IDS_10", userEditor->lgLangLinked1));
    EXPECT_EQ(query("SELECT COUNT(*) FROM CTIusers"), "1\n");

    // '&' separates the client protocol's fields: none gets into a field.
    userEditor->Edit3->clear();
    userEditor->Edit3->insert("w&b");
    EXPECT_EQ(userEditor->Edit3->text(), "");

    // An apostrophe in a field reaches the database once, as typed.
    acceptUser("O'Brien", "obrien", "p");
    form->Admin().AddUserBTClick();
    ASSERT_NE(userRow("obrien"), nullptr);
    EXPECT_EQ(userRow("obrien")->text(1), "O'Brien");
}

TEST_F(ConsoleUsers, AnEditKeepsTheDigestAndTellsTheUsersClientAndEveryoneOfTheNewStatus) {
    sql(std::string(Insert) + "('Nowak', 'Jan', 'jnowak', '" + Md5HexWire("stare") +
        "', 0, ' ', '', 'w biurze', 0);");
    form->Admin().LoadUsers();
    selectUser("jnowak");
    const std::string id = userRow("jnowak")->text(0).toStdString();

    // The user's client: a record logged in as the user, on a real socket.
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost));
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, server.serverPort());
    ASSERT_TRUE(server.waitForNewConnection(10000));
    QTcpSocket* serverSide = server.nextPendingConnection();
    auto* record = new Klient("127.0.0.1", "klient", serverSide, 4000, 77);
    record->SetIDFB(id);
    record->Stan = Klient::OK; // logged in: free for notices
    // What the client sends is read by the service, as for any client.
    QObject::connect(serverSide, &QTcpSocket::readyRead, serverSide,
                     [this] { form->Clients().serwerClientRead(77, "127.0.0.1"); });
    // The broadcasts, on a high port.
    QUdpSocket listener;
    ASSERT_TRUE(listener.bind(QHostAddress::LocalHost, 0));
    form->Clients().CreateUdpSender(form.get(), listener.localPort(), "127.0.0.1");

    acceptUser("Nowak-Kowalska", "jnowak", QString(), "urlop");
    form->Admin().EditUserBTClick();

    EXPECT_NE(query("SELECT sUserPassword FROM CTIusers").find(Md5HexWire("stare")), std::string::npos)
        << "an untouched password keeps its digest";
    EXPECT_EQ(userRow("jnowak")->text(1), "Nowak-Kowalska");
    QByteArray received;
    QDeadlineTimer deadline(10000);
    while (!received.contains("\r\n") && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        client.waitForReadyRead(50);
        received += client.readAll();
    }
    EXPECT_EQ(received.toStdString(), "!RL&\r\n");
    // Acknowledged as a real client does, so the next notice is not held back.
    client.write("OK");
    client.flush();
    while (record->Stan != Klient::OK && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    EXPECT_EQ(record->Stan, Klient::OK);
    QByteArray datagram;
    while (datagram.isEmpty() && !deadline.hasExpired()) {
        listener.waitForReadyRead(50);
        if (listener.hasPendingDatagrams()) {
            datagram.resize(int(listener.pendingDatagramSize()));
            listener.readDatagram(datagram.data(), datagram.size());
        }
    }
    EXPECT_EQ(datagram.toStdString(), "!OI&" + id + "&urlop&\r\n");

    // Only the surname: no broadcast, a new password gets its digest.
    deadline = QDeadlineTimer(10000);
    selectUser("jnowak");
    acceptUser("Nowak", "jnowak", "nowe");
    form->Admin().EditUserBTClick();
    EXPECT_NE(query("SELECT sUserPassword FROM CTIusers").find(Md5HexWire("nowe")), std::string::npos);
    // The notice to the user's client comes after any broadcast; once it is
    // there, a broadcast would be too.
    received.clear();
    while (!received.contains("\r\n") && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        client.waitForReadyRead(50);
        received += client.readAll();
    }
    EXPECT_EQ(received.toStdString(), "!RL&\r\n");
    EXPECT_FALSE(listener.hasPendingDatagrams()) << "the status did not change";
}

TEST_F(ConsoleUsers, OnlyTheFirst512UsersGetAPresenceSlotAndNamesServeAnyThread) {
    std::string script;
    for (int i = 0; i < 600; ++i)
        script += std::string(Insert) + "('', 'Imie" + std::to_string(i) + "', 'u" + std::to_string(i) +
                  "', 'x', 0, ' ', 'K" + std::to_string(i) + "', ' ', 0);\n";
    sql(script);
    form->Admin().LoadUsers();
    ASSERT_EQ(form->UserLV->topLevelItemCount(), 600);
    const auto entries = form->Admin().UserSlotEntries();
    ASSERT_EQ(entries.size(), 512u);
    EXPECT_EQ(entries[0].first, form->UserLV->topLevelItem(0)->text(0).toStdString());
    EXPECT_EQ(entries[511].second, form->UserLV->topLevelItem(511)->text(7).toStdString());

    // An empty surname: the first name alone, asked from another thread.
    const std::string id = form->UserLV->topLevelItem(3)->text(0).toStdString();
    const std::string expected = form->UserLV->topLevelItem(3)->text(2).toStdString();
    auto name = std::async(std::launch::async, [&] { return form->GetUserNameById(id); });
    EXPECT_EQ(name.get(), expected);
    EXPECT_EQ(expected.rfind("Imie", 0), 0u);
}

TEST_F(ConsoleUsers, AllPhonesAreSortedAgainByTheirMarkedColumnWhenTheUsersAreLoaded) {
    sql(std::string(Insert) + "('Nowak', 'Jan', 'jnowak', 'x', 0, ' ', '', ' ', 0);");
    form->Admin().LoadUsers();
    ASSERT_NE(userRow("jnowak"), nullptr);
    const std::string id = userRow("jnowak")->text(0).toStdString();
    for (const char* number : {"300", "100", "200"})
        sql("INSERT INTO UserPhones VALUES (NULL, " + id + ", '" + number + "', 'x')");
    form->lvAllUserPhones->Columns()[2]->SetImageIndex(1);
    form->lvAllUserPhones->SetTag(0);
    form->Admin().LoadUsers();
    QStringList numbers;
    for (int i = 0; i < form->lvAllUserPhones->topLevelItemCount(); ++i)
        numbers << form->lvAllUserPhones->topLevelItem(i)->text(2);
    EXPECT_EQ(numbers, (QStringList{"100", "200", "300"}));
}

TEST_F(ConsoleUsers, APhoneOfAnotherUserIsRefusedWithItsOwnerAndAUsersPhonesGoWithIt) {
    sql(std::string(Insert) + "('Nowak', 'Jan', 'jnowak', 'x', 0, ' ', '', ' ', 0);" + Insert +
        "('Kos', 'Ewa', 'ekos', 'x', 0, ' ', '', ' ', 0);");
    form->Admin().LoadUsers();
    selectUser("jnowak");
    whenShown([this] {
        phoneEditor->Edit1->setText("201");
        phoneEditor->Edit2->setText("biurko");
        phoneEditor->Button1Click();
    });
    form->Admin().AddPhoneBTClick();
    ASSERT_EQ(form->PhoneLV->topLevelItemCount(), 1);
    EXPECT_EQ(form->PhoneLV->topLevelItem(0)->text(1), "201");

    // Letters other than P are not taken by the number field.
    phoneEditor->Edit1->clear();
    phoneEditor->Edit1->insert("2x0P*#");
    EXPECT_EQ(phoneEditor->Edit1->text(), "") << "the validator refuses the whole paste with an x";
    phoneEditor->Edit1->insert("20P*#");
    EXPECT_EQ(phoneEditor->Edit1->text(), "20P*#");

    selectUser("ekos");
    whenShown([this] {
        phoneEditor->Edit1->setText("201");
        phoneEditor->Edit2->setText("cudzy");
        phoneEditor->Button1Click();
        if (phoneEditor->ModalResult() == ui::mrNone)
            phoneEditor->SetModalResult(ui::mrCancel);
    });
    form->Admin().AddPhoneBTClick();
    EXPECT_TRUE(askedWith(phoneEditor->lgLangLinked1->GetTextOrDefault("IDS_1") + "Nowak Jan"));
    EXPECT_EQ(form->PhoneLV->topLevelItemCount(), 0);

    selectUser("jnowak");
    form->Admin().DelUserBTClick();
    EXPECT_EQ(userRow("jnowak"), nullptr);
    EXPECT_EQ(query("SELECT COUNT(*) FROM UserPhones"), "0\n");
}

TEST_F(ConsoleUsers, ANewGroupNameThatExistsKeepsTheEditorOpenAndCreatesNothing) {
    sql("INSERT INTO UserGroups (sGroupName) VALUES ('Biuro');");
    whenShown([this] {
        userEditor->Edit5->setText("Nowak");
        userEditor->Edit1->setText("jn");
        userEditor->Edit2->setText("p");
        userEditor->comboGroups->setCurrentIndex(1);
        EXPECT_TRUE(userEditor->edNowaGrupa->IsVisible());
        userEditor->edNowaGrupa->setText("Biuro");
        userEditor->Button1Click();
        EXPECT_EQ(userEditor->ModalResult(), ui::mrNone);
        userEditor->comboGroups->setCurrentIndex(2);
        EXPECT_TRUE(userEditor->btnRemoveGroup->isEnabled());
        userEditor->Button1Click();
    });
    form->Admin().AddUserBTClick();
    EXPECT_TRUE(askedWith("IDS_4", userEditor->lgLangLinked1));
    EXPECT_EQ(query("SELECT COUNT(*) FROM UserGroups"), "1\n");
    ASSERT_NE(userRow("jn"), nullptr);
    EXPECT_EQ(userRow("jn")->text(5), "Biuro");
}

} // namespace
