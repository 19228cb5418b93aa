// A desk whose SMS waits for its row, with real parts: the window with a
// real embedded database and its row writer, desks logged in over TCP, and a
// second attachment of the database holding a lock that the message's row
// has to wait for.
#include "admin/Console.h"
#include "db/CallWatchdog.h"
#include "db/MainDatabase.h"
#include "db/SessionDB.h"
#include "sms/SmsGateway.h"
#include "support/ClientServiceTestBed.h"
#include "support/ClientSimulator.h"

#include <QByteArray>
#include <algorithm>
#include <cstdlib>
#include <gtest/gtest.h>
#include <map>
#include <memory>

namespace {

using sim::ClientSimulator;
using Texts = std::vector<std::string>;

std::string base64(const std::string& bytes) {
    return QByteArray::fromStdString(bytes).toBase64().toStdString();
}

class DeskSmsAnswer : public testing_support::ClientServiceTestBed {
  protected:
    void SetUp() override {
        ClientServiceTestBed::SetUp();
        auto& s = form->Sms().SmsSettings;
        s.UseSms = true;
        s.CountryCode = "48";
        s.MinCountryNumberLength = s.MaxCountryNumberLength = 9;
        s.RemoveCountryCode = true;
        form->Sms().ApplySmsSettings();
    }
    void TearDown() override {
        if (holder) {
            holder->RollbackWork();
            holder.reset();
            SessionDB::DetachDatabase(&holderHandle);
        }
        desks.clear();
        db::SetCallBound(db::DefaultCallBound);
        ClientServiceTestBed::TearDown();
    }

    // Users in the database, loaded by the console, each logged in from a
    // desk that handles SMS, its log-in answered.
    void staff(std::initializer_list<std::string> logins) {
        for (const std::string& login : logins) {
            testing_support::TestUser user{"Jan", "Nowak", login, "0cc175b9c0f1b6a831c399e269772661"};
            addUser(user);
            ids[login] = std::to_string(user.id);
            auto desk = std::make_unique<ClientSimulator>();
            desks[login] = std::move(desk);
            passwords[login] = user.password;
        }
        form->lvAllUserPhones->SetTag(0);
        form->Admin().LoadUsers();
        for (const std::string& login : logins) {
            ClientSimulator& desk = *desks.at(login);
            ASSERT_TRUE(desk.Connect(form->Settings.PortTCP));
            ASSERT_TRUE(desk.LogIn(login, passwords.at(login)));
            ASSERT_TRUE(serveUntil([&] {
                Klient* record = Klient::ZnajdzPoIDFB(ids.at(login));
                return record && record->Zalogowany && record->ObslugaSms && !desk.Replies().empty();
            }));
        }
        ASSERT_TRUE(serveUntil([&] { return noticesDelivered(); }));
        for (auto& [login, desk] : desks)
            desk->ClearReceived();
    }

    // Every Sms row's insert passes a gate row, which another client of the
    // database holds with an uncommitted update: the insert waits for it.
    void holdSmsInserts() {
        SessionDB session(c.host, c.path, c.user, c.password, &MainDbHandle, false);
        for (const char* ddl :
             {"CREATE TABLE SMS_GATE (PASSED INTEGER)", "INSERT INTO SMS_GATE VALUES (0)",
              "CREATE TRIGGER SMS_GATE_PASS FOR SMS ACTIVE BEFORE INSERT POSITION 1 AS BEGIN UPDATE SMS_GATE "
              "SET PASSED = PASSED + 1; END"})
            ASSERT_EQ(session.ExecuteDDL(ddl), 0) << ddl;
        holder = std::make_unique<SessionDB>(c.host, c.path, c.user, c.password, &holderHandle, false);
        ASSERT_EQ(holder->BeginWork(), 0);
        ASSERT_EQ(holder->ExecuteSQL("UPDATE SMS_GATE SET PASSED = 0"), 0);
    }

    // A text message from one desk to another user.
    std::string textMessage(const std::string& from, const std::string& to, const std::string& text) {
        return "!WI&" + ids.at(from) + "&" + ids.at(to) + "&2026-03-09 10:15&" + text + "\xff";
    }
    static bool holds(const Texts& all, const std::string& one) {
        return std::find(all.begin(), all.end(), one) != all.end();
    }
    // What the desk received of its SMS rows and its answers, in order: the
    // notices the test does not look at come at moments of their own.
    static Texts smsAndAnswers(const ClientSimulator& desk) {
        Texts seen;
        for (const std::string& m : desk.Messages())
            if (!m.starts_with("!") || m.starts_with("!SMS&"))
                seen.push_back(m);
        return seen;
    }

    std::map<std::string, std::string> ids, passwords;
    std::map<std::string, std::unique_ptr<ClientSimulator>> desks;
    DbHandle holderHandle = 0;
    std::unique_ptr<SessionDB> holder;
};

// While the row of a desk's message waits for a lock another client holds,
// the desk is not held: the notices meant for it reach it one after the
// other (each acknowledgement read), and what it sends is handled (its text
// message reaches the other desk). Its answers keep the order of its
// requests: "!SMS&ADD" and the message's "OK" once the row is in, then the
// text message's "OK".
TEST_F(DeskSmsAnswer, WhileItsRowWaitsForALockTheDeskIsServedAndItsAnswersKeepTheirOrder) {
    ASSERT_NO_FATAL_FAILURE(staff({"jnowak", "akowal"}));
    ClientSimulator& desk = *desks.at("jnowak");
    ClientSimulator& other = *desks.at("akowal");
    // The message's answer is given at this bound at the latest: far beyond
    // the waits below.
    db::SetCallBound(std::chrono::minutes(5));
    ASSERT_NO_FATAL_FAILURE(holdSmsInserts());

    ASSERT_TRUE(desk.Send("!SMS&SEND&&600123456&" + base64("Hello") + "\r\n"));
    ASSERT_TRUE(serveUntil([&] { return form->Sms().SmsEngine.MainQueueSize() == 1; }));
    const std::string first = textMessage("akowal", "jnowak", "first");
    const std::string second = textMessage("akowal", "jnowak", "second");
    ASSERT_TRUE(other.Send(first));
    ASSERT_TRUE(other.Send(second));
    EXPECT_TRUE(serveUntil([&] { return holds(desk.Notices(), second); }))
        << "the desk's acknowledgement of the first notice was not read";
    EXPECT_TRUE(holds(desk.Notices(), first));
    const std::string reply = textMessage("jnowak", "akowal", "reply");
    ASSERT_TRUE(desk.Send(reply));
    EXPECT_TRUE(serveUntil([&] { return holds(other.Notices(), reply); })) << "the desk's line was not read";
    ASSERT_TRUE(serveUntil([&] { return noticesDelivered() && desk.Quiet(); }));
    EXPECT_EQ(smsAndAnswers(desk), Texts{}) << "answered before the message's row is in";

    holder->RollbackWork();
    ASSERT_TRUE(serveUntil([&] { return desk.Replies().size() >= 2; }));
    ASSERT_TRUE(serveUntil([&] { return noticesDelivered() && desk.Quiet(); }));
    const Texts seen = smsAndAnswers(desk);
    ASSERT_EQ(seen.size(), 3u) << testing::PrintToString(seen);
    const std::string key = std::to_string(
        std::atoi(testfb::MainQuery(c, "SELECT nId FROM Sms WHERE sNumber = '600123456'").c_str()));
    EXPECT_TRUE(seen[0].starts_with("!SMS&ADD&" + key + "&1&")) << seen[0];
    EXPECT_TRUE(seen[0].ends_with("&600123456&&4&" + base64("Hello") + "\r\n")) << seen[0];
    EXPECT_EQ(seen[1], "OK");
    EXPECT_EQ(seen[2], "OK");
}

} // namespace
