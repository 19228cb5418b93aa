// The fixture of the SMS road's tests: the window linked over TCP to the
// exchange simulator with GSM lines, a real embedded database, simulated
// clients logged in over TCP, and the PDUs the tests expect.
#pragma once

#include "admin/Console.h"
#include "clients/Bufor.h"
#include "db/CallWatchdog.h"
#include "db/MessageTables.h"
#include "pbx/PbxLink.h"
#include "platform/Clock.h"
#include "sms/SmsGateway.h"
#include "support/ClientServiceTestBed.h"
#include "support/ClientSimulator.h"
#include "support/ExchangeSimulator.h"
#include "support/GsmPdus.h"
#include "support/LinkTestSupport.h"
#include "support/PrivateFirebirdServer.h"
#include "support/SlowTcpProxy.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <algorithm>
#include <gtest/gtest.h>

namespace smsroadtest {

using sim::ClientSimulator;
using sim::ExchangeSimulator;
using sim::SmsSendScript;

constexpr int Line = 1;
const std::string LineNumber = "600100200";

// SMS-SUBMIT as the send request below must produce it, written out by hand:
// no service centre, first octet 0x31, TP-MR 0, +48600123456 (0x91), PID 0,
// DCS 0, validity 4 days (0xAA), then the 7-bit text.
const std::string SubmitHead = "0031000B918406103254F60000AA";
const std::string SubmitHello = SubmitHead + "05C8329BFD06";
const std::string MeetingText =
    "Spotkanie przeniesione na czwartek, godzina 10:00, sala 2. Prosze potwierdzic.";
const std::string SubmitMeeting =
    SubmitHead + "4E53F89BBE0EBBD365105CAE2FBBD3E579FAED2E83DC61D0587F0FCBE9E5350B747E93F56977181483E9603016"
                 "681E6687413217082A7FCFF56510FC4DBFA7CB72B23E3D7601";

inline std::string base64(const std::string& bytes) {
    return QByteArray::fromStdString(bytes).toBase64().toStdString();
}
inline std::string octets(const std::string& hex) {
    return QByteArray::fromHex(QByteArray::fromStdString(hex)).toStdString();
}

class SmsRoad : public testing_support::ClientServiceTestBed {
  protected:
    void SetUp() override {
        ClientServiceTestBed::SetUp();
        stopPollingTimer();
        platform::setProcessClock(&clock);
        pbx::linkEnvironment().timings = pbx::LinkTimings::Scaled(50);
        pbx::linkEnvironment().clock = &linkClock;
        useSms();
    }
    void useSms() {
        auto& s = sms().SmsSettings;
        s.UseSms = true;
        s.CountryCode = "48";
        s.MinCountryNumberLength = s.MaxCountryNumberLength = 9;
        s.RemoveCountryCode = true;
        s.OutTrials = 5;
        s.OutTrialsNoLimit = false;
        s.DynamicRoutingEnabled = false;
        s.DynamicRoutingValidityPeriod = 3600;
        sms().ApplySmsSettings();
    }
    void TearDown() override {
        desks.clear();
        ClientServiceTestBed::TearDown();
        exchange.reset();
        pbx::linkEnvironment() = pbx::LinkEnvironment();
        platform::setProcessClock(nullptr);
    }

    sms::SmsGateway& sms() { return form->Sms(); }

    // The form's polling timer runs from its start (first tick after 4 s),
    // and only the test has the link started: a tick of its own before the
    // link is up asks for the GSM lines, the log-in discards that request
    // with every command queued before it, and the table asks again only
    // twenty ticks later. So the timer is off from the form's start on.
    void stopPollingTimer() { form->tmrPabxSynchronize->stop(); }

    // One tick of the polling timer; the timer itself stays off, so that
    // the test alone decides how many ticks pass.
    void tick() {
        form->tmrPabxSynchronizeTimer();
        form->tmrPabxSynchronize->stop();
    }

    void link(const std::map<int, std::string>& moreLines = {}) {
        exchange = std::make_unique<ExchangeSimulator>(sim::Family::Vantrel, sim::Transport::Tcp);
        exchange->SetGsmLine(Line, LineNumber);
        for (const auto& [line, number] : moreLines)
            exchange->SetGsmLine(line, number);
        ASSERT_TRUE(exchange->Start());
        form->tmrPabxSynchronize->stop();
        linkTo(*exchange, 2, [&] { serveUntil([] { return true; }); });
    }

    // Users in the database, loaded by the console, each logged in from a
    // simulated client that handles SMS.
    void staff(std::initializer_list<std::string> logins) {
        for (const std::string& login : logins) {
            testing_support::TestUser user{"Jan", "Nowak", login, "0cc175b9c0f1b6a831c399e269772661"};
            addUser(user);
            users[login] = user;
        }
        form->lvAllUserPhones->SetTag(0);
        form->Admin().LoadUsers();
        for (const std::string& login : logins) {
            auto desk = std::make_unique<ClientSimulator>();
            ASSERT_TRUE(desk->Connect(form->Settings.PortTCP));
            ASSERT_TRUE(desk->LogIn(login, users[login].password));
            const std::string id = std::to_string(users[login].id);
            ASSERT_TRUE(serveUntil([&] {
                Klient* record = Klient::ZnajdzPoIDFB(id);
                return record && record->Zalogowany && record->ObslugaSms && record->Stan != Klient::SEND &&
                       !record->HasOstatniaWyslana && !desk->Replies().empty();
            }));
            desks[login] = std::move(desk);
        }
    }

    // The program stops and starts again (keeping its rows in `journal` when
    // named), linked to the same exchange, its GSM lines read; the desks are
    // gone.
    void restart(const std::string& journal = {}) {
        desks.clear();
        const int logins = exchange->LoginCount();
        stopForm();
        ASSERT_NO_FATAL_FAILURE(startForm());
        stopPollingTimer();
        if (!journal.empty()) {
            ASSERT_TRUE(form->Database().OpenRowJournal(journal));
        }
        form->tmrStartupTimer();
        useSms();
        form->tmrPabxSynchronize->stop();
        linkTo(*exchange, 2, [&] { serveUntil([] { return true; }); });
        ASSERT_TRUE(serveUntil([&] { return exchange->LoginCount() > logins; }));
        ASSERT_NO_FATAL_FAILURE(readGsmLines());
    }

    // Every notice handed over and acknowledged.
    bool settled() {
        return serveUntil([&] {
            if (!noticesDelivered())
                return false;
            for (auto& [login, desk] : desks)
                if (!desk->Quiet())
                    return false;
            return true;
        });
    }
    std::vector<std::string> smsNotices(const std::string& login) {
        EXPECT_TRUE(settled());
        std::vector<std::string> notices;
        for (const std::string& n : desks.at(login)->Notices())
            if (n.starts_with("!SMS&") || n.starts_with("!GSM&"))
                notices.push_back(n);
        desks.at(login)->ClearReceived();
        return notices;
    }

    // Linked to the exchange, the GSM lines read and polled once, with the
    // desk of jnowak logged in and its notices so far taken.
    void linkedWithDesk() {
        ASSERT_NO_FATAL_FAILURE(link());
        ASSERT_NO_FATAL_FAILURE(staff({"jnowak"}));
        ASSERT_NO_FATAL_FAILURE(readGsmLines());
        ASSERT_NO_FATAL_FAILURE(pollStoredMessages());
        smsNotices("jnowak");
    }
    // The ticks ask the exchange for its GSM lines one by one.
    void readGsmLines() {
        for (int question = 0; question < 40 && !sms().GsmLines.Complete(); ++question) {
            tick();
            ASSERT_TRUE(serveUntil([&] { return !sms().GsmLines.waiting; }));
        }
        ASSERT_TRUE(sms().GsmLines.Complete());
    }
    // A cycle of the poll of stored messages, from the first line to the
    // last; a message's rows are written before the next tick, which they
    // would hold otherwise.
    void pollStoredMessages() {
        if (sms().SmsEngine.NeedsResynchronization())
            form->miSmsSynchronizeClick();
        for (int poll = 0; poll < 40 && !sms().SmsEngine.NeedsResynchronization(); ++poll) {
            tick();
            ASSERT_TRUE(serveUntil([&] { return !sms().SmsEngine.bSmsRequestSent; }));
            ASSERT_TRUE(testfb::AwaitRowRoad());
        }
        ASSERT_TRUE(sms().SmsEngine.NeedsResynchronization());
    }
    // The desk's send request, handled once its "OK" came back.
    void send(const std::string& login, const std::string& number, const std::string& text,
              const std::string& line = "") {
        ClientSimulator& desk = *desks.at(login);
        const std::size_t replies = desk.Replies().size();
        ASSERT_TRUE(desk.Send("!SMS&SEND&" + line + "&" + number + "&" + base64(text) + "\r\n"));
        ASSERT_TRUE(serveUntil([&] { return desk.Replies().size() > replies; }));
        EXPECT_EQ(desk.Replies().back(), "OK");
    }
    // `ticks` ticks, then the exchange holds `count` complete messages.
    void ticksUntilSent(int ticks, std::size_t count) {
        for (int i = 0; i < ticks; ++i)
            tick();
        ASSERT_TRUE(serveUntil([&] { return exchange->SentMessages().size() >= count; }));
    }
    // Ticks, each answer let in before the next, until `done` holds: sending
    // and polling take turns, and what went out reaches the exchange a little
    // after it left the queue.
    bool tickedUntil(const std::function<bool()>& done) {
        for (int i = 0; i < 40 && !done(); ++i) {
            tick();
            flushed();
            serveUntil([&] { return !sms().SmsEngine.bSmsRequestSent; });
        }
        return serveUntil(done);
    }
    std::size_t commandCount(const std::string& command) {
        const auto commands = exchange->Commands();
        return static_cast<std::size_t>(std::count(commands.begin(), commands.end(), command));
    }
    // Runs until the exchange has been sent `command`.
    bool commandSent(const std::string& command) {
        return serveUntil([&] {
            const auto commands = exchange->Commands();
            return std::find(commands.begin(), commands.end(), command) != commands.end();
        });
    }
    // Everything queued for the exchange has gone out.
    bool flushed() {
        return serveUntil([&] {
            auto lock = LockChains();
            return ServerKlient->Komendy.empty();
        });
    }

    // A database with its tables on a Firebird server of the test's own, the
    // window's settings pointing at it (through a relay made here when asked).
    void databaseOn(testfb::PrivateServer& server,
                    std::unique_ptr<testing_support::SlowTcpProxy>* relay = nullptr) {
        ASSERT_NO_FATAL_FAILURE(databaseOnOwnServer(server, "sms.fdb"));
        if (relay) {
            testfb::DetachMain();
            *relay = std::make_unique<testing_support::SlowTcpProxy>(
                std::stoi(c.host.substr(c.host.find('/') + 1)), std::chrono::milliseconds(0));
            ASSERT_NE((*relay)->port(), 0);
            c.host = "127.0.0.1/" + std::to_string((*relay)->port());
        }
        form->Settings.IPFBaseText = c.host;
        form->Settings.NameFBText = c.path;
        form->Settings.PasswordFB = c.password;
    }

    // Once the road wrote what was handed to it and its followers ran. Read
    // through a connection of the test's own: the program's may be one the
    // relay dropped, which only its next use finds out.
    std::vector<QueryRow> rows(const std::string& text) {
        EXPECT_TRUE(testfb::AwaitRowRoad());
        DbHandle handle = 0;
        std::vector<QueryRow> result;
        {
            SessionDB session(c.host, c.path, c.user, c.password, &handle, false);
            session.SetSqlText(text);
            EXPECT_EQ(session.StartTransaction(true), 0);
            EXPECT_EQ(session.RunQueryToList(&result), 0);
            EXPECT_EQ(session.CommitTransaction(), 0);
        }
        SessionDB::DetachOrAbandon(&handle);
        return result;
    }
    // "direction user state number line" of every Sms row, by key.
    std::vector<std::string> smsRows() {
        std::vector<std::string> out;
        for (auto& r : rows("SELECT NDIR, NUSERID, NSTATE, SNUMBER, SLINE FROM SMS ORDER BY NID")) {
            std::string row;
            for (const char* column : {"NDIR", "NUSERID", "NSTATE", "SNUMBER", "SLINE"}) {
                std::string value = r[column];
                value.erase(value.find_last_not_of(' ') + 1);
                row += (row.empty() ? "" : " ") + value;
            }
            out.push_back(row);
        }
        return out;
    }
    // A message from the exchange stored, the exchange's answer to its
    // acknowledgement lost: it still holds the message.
    void storedButNotTaken() {
        exchange->SetAnswerRule({sim::AnswerRule::Kind::Silent});
        const std::string ack = "SMS ACK " + std::to_string(Line) + " " +
                                std::to_string(exchange->AnnounceSms(Line, sim::pdu::DeliverHello));
        ASSERT_TRUE(commandSent(ack));
        exchange->SetAnswerRule({});
        ASSERT_EQ(exchange->StoredSmsCount(Line), 1u);
        EXPECT_EQ(smsRows(), std::vector<std::string>{ReceivedHelloRow});
    }
    // The poll is handed that message again: it is acknowledged, not stored again.
    void onlyAcknowledgedAgain() {
        pollStoredMessages();
        ASSERT_TRUE(serveUntil([&] { return exchange->StoredSmsCount(Line) == 0; })) << "acknowledged";
        ASSERT_TRUE(flushed());
        EXPECT_EQ(smsRows(), std::vector<std::string>{ReceivedHelloRow});
    }
    static constexpr const char* ReceivedHelloRow = "0 0 0 601234567 600100200";
    std::string id(const std::string& login) { return std::to_string(users.at(login).id); }
    void execute(const std::string& text) {
        SessionDB session(c.host, c.path, c.user, c.password, &MainDbHandle, false);
        EXPECT_EQ(session.ExecuteDDL(text), 0) << text;
    }
    // The server's own chain holds a command beginning with `text`.
    bool chainHolds(const std::string& text) {
        auto lock = LockChains();
        return std::any_of(ServerKlient->Komendy.begin(), ServerKlient->Komendy.end(),
                           [&](const Bufor& command) { return command.data.starts_with(text); });
    }
    std::string stamp() const {
        const QDateTime now = clock.dateTime();
        return now.toString("yyyy.MM.dd&HH:mm:ss").toStdString();
    }

    platform::ManualClock clock{1'000'000, QDateTime(QDate(2026, 3, 9), QTime(10, 15, 30))};
    platform::ManualClock linkClock;
    std::unique_ptr<ExchangeSimulator> exchange;
    std::map<std::string, testing_support::TestUser> users;
    std::map<std::string, std::unique_ptr<ClientSimulator>> desks;
};

using Texts = std::vector<std::string>;

// What a desk received of its SMS rows and its answers, in order: the
// notices a test does not look at (voice mail, presence) come at moments of
// their own.
Texts smsAndAnswers(const ClientSimulator& desk);

} // namespace smsroadtest
