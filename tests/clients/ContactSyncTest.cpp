// The contact-base synchronisation: the server's broadcasts reach every
// listening client as exact datagrams, and the clients' reports over TCP
// change the server's copy only, are always answered "OK" and never passed on.
#include "ClientServiceSupport.h"
#include "admin/Console.h"
#include "platform/WireCodePage.h"
#include "support/Ports.h"

#include <atomic>
#include <gtest/gtest.h>

namespace clienttest {
namespace {

using Replies = std::vector<std::string>;
using clients::DbSynchronizer;

class ContactSync : public ClientServiceFixture {
  protected:
    void SetUp() override {
        ClientServiceFixture::SetUp();
        if (HasFatalFailure())
            return;
        ASSERT_NE(udp.Port(), 0);
        udpPort = udp.Port();
        form->Clients().CreateUdpSender(form.get(), udpPort, "127.255.255.255");
    }
    std::vector<ContactRow>& rows() { return form->Admin().ContactRows; }
    std::map<int, std::string>& groups() { return form->Admin().ContactGroupRows; }
    // Sends the bytes as they are and waits for the one "OK".
    void report(sim::ClientSimulator& client, const std::string& bytes) {
        client.ClearReceived();
        ASSERT_TRUE(client.Send(bytes));
        EXPECT_EQ(waitReplies(client, 1), Replies{"OK"}) << bytes;
    }
    QString shown(int row, int column) { return form->lvKontakty->CellText(row, column); }

    testing_support::HeldUdpPort udp;
    int udpPort = 0;
};

ContactRow sample() {
    ContactRow r;
    r.idContactPriv = "41";
    r.nGroupId = 3;
    r.Name = "Żółć & Syn";
    r.JobPosition = "Kierownik\\działu";
    r.FirstName = "Łucja";
    r.Phone = "201";
    r.Home = "";
    r.Mobile = "600100200";
    r.Mail = "l@x.pl";
    r.www = "x.pl";
    r.Company = "A&B";
    r.Address = "Długa 1";
    r.City = "Łódź";
    r.PostCode = "90-001";
    return r;
}

TEST_F(ContactSync, EveryBroadcastReachesEachListeningClientAsOneExactDatagram) {
    sim::ClientSimulator first, second;
    ASSERT_TRUE(first.ListenUdp(udpPort));
    ASSERT_TRUE(second.ListenUdp(udpPort));
    const std::string fields = "41&Kierownik\\\\działu&Żółć \\& "
                               "Syn&Łucja&201&&600100200&l@x.pl&x.pl&A\\&B&Długa 1&Łódź&90-001&3\r\n";
    const std::vector<std::pair<std::string, std::string>> sent = {
        {DbSynchronizer::WyslijDbDodaj(sample()), "!DB_ADD&" + fields},
        {DbSynchronizer::WyslijDbZmien(sample()), "!DB_UPD&" + fields},
        {DbSynchronizer::WyslijDbUsun("41"), "!DB_DEL&41\r\n"},
        {DbSynchronizer::WyslijDbgDodaj("3", "Hurt & detal\\"), "!DBG_ADD&3&Hurt \\& detal\\\\\r\n"},
        {DbSynchronizer::WyslijDbgUsun("3"), "!DBG_DEL&3\r\n"},
    };
    std::vector<std::string> expected;
    for (const auto& [built, wanted] : sent) {
        EXPECT_EQ(built, wanted);
        form->Clients().UdpSend(built);
        expected.push_back(platform::toWire(wanted));
    }
    form->Clients().UdpSend("!DB_DLA&\r\n");
    expected.push_back("!DB_DLA&\r\n");
    for (sim::ClientSimulator* client : {&first, &second}) {
        EXPECT_TRUE(PumpUntil([&] { return client->Datagrams().size() >= expected.size(); }));
        EXPECT_EQ(client->Datagrams(), expected);
    }
}

TEST_F(ContactSync, ReportsChangeTheServersCopyOnlyAndAreAlwaysAnsweredOk) {
    sim::ClientSimulator client;
    std::atomic<int> passedOn{0};
    client.OnDatagram = [&](const std::string& datagram) {
        if (datagram.starts_with("!DB"))
            ++passedOn;
    };
    ASSERT_TRUE(client.ListenUdp(udpPort));
    logIn(client, "1");
    form->Admin().RepaintContacts();

    // A client's own message comes back as the same row, escapes undone.
    report(client, platform::toWire(DbSynchronizer::WyslijDbDodaj(sample())));
    ASSERT_EQ(rows().size(), 1u);
    EXPECT_EQ(rows()[0].Name, "Żółć & Syn");
    EXPECT_EQ(rows()[0].JobPosition, "Kierownik\\działu");
    EXPECT_EQ(rows()[0].City, "Łódź");
    EXPECT_EQ(rows()[0].nGroupId, 3);
    EXPECT_TRUE(form->Clients().ContactSync.Changed);
    ASSERT_EQ(form->lvKontakty->ItemCount(), 1); // a new row shows at once

    // Ignored, still "OK": the same id again, 13 and 15 fields, ids 0, empty, "abc".
    const std::string tail = "&J&N&F&1&2&3&m&w&C&A&T&P";
    for (const std::string& ignored :
         {"!DB_ADD&41" + tail + "&0\r\n", "!DB_ADD&42" + tail + "\r\n", "!DB_ADD&43" + tail + "&0&\r\n",
          "!DB_ADD&0" + tail + "&0\r\n", "!DB_ADD&" + tail + "&0\r\n", "!DB_ADD&abc" + tail + "&0\r\n",
          std::string("!DB_UPD&44") + tail + "&0\r\n", std::string("!DB_DEL&44\r\n")})
        report(client, ignored);
    EXPECT_EQ(rows().size(), 1u);

    // "12x" is an id of its own text; a group field "abc" is no group.
    report(client, "!DB_ADD&12x" + tail + "&abc\r\n");
    report(client, "!DB_ADD&012" + tail + "&7\r\n");
    report(client, "!DB_ADD&12x" + tail + "&7\r\n"); // present: ignored
    // A second row of the same id, as a load may leave.
    rows().push_back(rows()[1]);
    rows().back().Name = "second";
    ASSERT_EQ(rows().size(), 4u);
    EXPECT_EQ(rows()[1].idContactPriv, "12x");
    EXPECT_EQ(rows()[1].nGroupId, 0);
    EXPECT_EQ(rows()[2].idContactPriv, "012");

    // A change shows at once (the row is drawn from the copy); the
    // maintenance timer's second tick clears the mark.
    form->Admin().RepaintContacts();
    form->Clients().ContactSync.Changed = false;
    report(client, "!DB_UPD&41&Prezes&Nowak&Jan&1&2&3&m&w&Firma&A&T&P&5\r\n");
    EXPECT_EQ(rows()[0].Name, "Nowak");
    EXPECT_EQ(rows()[0].idContactPriv, "41");
    EXPECT_EQ(rows()[0].nGroupId, 5);
    EXPECT_EQ(shown(0, 4), "Nowak");
    form->MaintenanceTimerTimer();
    EXPECT_TRUE(form->Clients().ContactSync.Changed);
    form->MaintenanceTimerTimer();
    EXPECT_EQ(shown(0, 4), "Nowak");
    EXPECT_FALSE(form->Clients().ContactSync.Changed);

    // Of two rows with one id, the first goes.
    report(client, "!DB_DEL&12x\r\n");
    ASSERT_EQ(rows().size(), 3u);
    EXPECT_EQ(rows()[1].idContactPriv, "012");
    EXPECT_EQ(rows()[2].Name, "second");
    EXPECT_EQ(form->lvKontakty->ItemCount(), 3);

    // Groups match by value: "012" is group 12; a removed group keeps an empty entry.
    report(client, "!DBG_ADD&12&Hurt \\& detal\r\n");
    report(client, "!DBG_ADD&012&Detal\r\n");
    report(client, "!DBG_DEL&9\r\n");
    report(client, "!DBG_ADD&0&Zero\r\n");
    EXPECT_EQ(groups(), (std::map<int, std::string>{{9, ""}, {12, "Detal"}}));

    // Nothing was passed on to the clients.
    EXPECT_EQ(passedOn.load(), 0);
    EXPECT_EQ(newestRecord()->BledyObslugi, 0u);
}

TEST_F(ContactSync, ARequestEndsAtItsCrLfWhateverWritesItCameIn) {
    sim::ClientSimulator client;
    logIn(client, "1");
    // A lone CR inside a field stays there; the scan does not resume at it
    // (which would answer the "PING" behind it).
    const std::string request = "!DB_ADD&7&J&N\r!PING&F&1&2&3&m&w&C&A&T&P&0\r\n!DBG_ADD&4&G\r\n";
    const std::size_t whole = request.find("\r\n") + 2;
    client.ClearReceived();
    for (std::size_t at = 0; at < request.size(); at += 5) {
        ASSERT_TRUE(client.Send(request.substr(at, 5)));
        ASSERT_TRUE(settled(client));
        if (at + 5 < whole) {
            EXPECT_TRUE(rows().empty()); // not whole yet: nothing changes
        }
    }
    EXPECT_EQ(waitReplies(client, 2), (Replies{"OK", "OK"}));
    ASSERT_EQ(rows().size(), 1u);
    EXPECT_EQ(rows()[0].Name, "N\r!PING");
    EXPECT_EQ(groups(), (std::map<int, std::string>{{4, "G"}}));
}

} // namespace
} // namespace clienttest
