// SMS with the database down, held or away from the main connection: what
// is acknowledged, what waits for its rows, and what the desks' messages do
// meanwhile.
#include "SmsRoadFixture.h"

namespace {

using namespace smsroadtest;

// The database file goes away: a message the exchange holds is not
// acknowledged and stays there, a desk's message is sent while its row
// waits; once the database is back the poll asks for the stored one again by
// itself, and the desk's message is stored and announced.
TEST_F(SmsRoad, WithTheDatabaseDownNothingIsAcknowledgedAndBothComeInOnItsReturn) {
    link();
    staff({"jnowak"});
    readGsmLines();
    pollStoredMessages();
    smsNotices("jnowak");

    testfb::DetachMain();
    const QString path = QString::fromStdString(c.path);
    ASSERT_TRUE(QFile::rename(path, path + ".away"));
    form->trmReconnect->SetEnabled(false);
    exchange->StoreSms(Line, sim::pdu::DeliverHello);
    pollStoredMessages();
    exchange->SetSmsSendScript({false, SmsSendScript::Outcome::Ack, -5, -1, 0});
    send("jnowak", "600123456", "Hello");
    ASSERT_TRUE(tickedUntil([&] { return !exchange->SentMessages().empty(); }))
        << "sent whatever the database does";
    ASSERT_TRUE(flushed());
    EXPECT_EQ(exchange->SentMessages().size(), 1u);
    EXPECT_EQ(smsNotices("jnowak"), Texts{});
    EXPECT_EQ(exchange->StoredSmsCount(Line), 1u) << "the message stays at the exchange";
    for (const std::string& command : exchange->Commands())
        EXPECT_FALSE(command.starts_with("SMS ACK")) << command;
    const std::string log = mainLogText();
    const std::size_t waiting = log.find("zapis czeka na połączenie: INSERT INTO Sms");
    EXPECT_NE(waiting, std::string::npos) << log;
    EXPECT_NE(log.find("'Hello'", waiting), std::string::npos) << "the waiting text is in the log";

    ASSERT_TRUE(QFile::rename(path + ".away", path));
    form->trmReconnectTimer();
    // The ticks alone, no resynchronisation by hand.
    for (int i = 0; i < 40 && (exchange->StoredSmsCount(Line) != 0 || exchange->SentMessages().empty());
         ++i) {
        tick();
        serveUntil([&] { return !sms().SmsEngine.bSmsRequestSent; });
    }
    ASSERT_TRUE(serveUntil([&] { return exchange->StoredSmsCount(Line) == 0; }));
    ASSERT_TRUE(serveUntil([&] { return exchange->SentMessages().size() == 1; }));
    EXPECT_EQ(exchange->SentMessages().at(0).PduHex(), SubmitHello);
    ASSERT_TRUE(serveUntil([&] { return smsRows().size() == 2 && smsRows()[0].starts_with("1 "); }))
        << testing::PrintToString(smsRows());
    EXPECT_EQ(smsRows()[1], "0 0 0 601234567 600100200");
    const std::string key = rows("SELECT NID FROM SMS ORDER BY NID").at(0).at("NID");
    const Texts notices = smsNotices("jnowak");
    ASSERT_FALSE(notices.empty());
    EXPECT_TRUE(notices[0].starts_with("!SMS&ADD&" + key + "&1&")) << notices[0];
}

// Desk messages go out while the database server is down, rows written on a
// thread of their own as the program does: each is answered at once and
// sent, and so is the other desk's input. A refused request's failed row
// waits too, in turn. Once the server is back, every row is written and
// announced, then takes what became of its message.
TEST_F(SmsRoad, DeskMessagesSentWhileTheDatabaseServerIsDownLeaveAtOnceAndAreStoredOnItsReturn) {
    testfb::PrivateServer server;
    ASSERT_NO_FATAL_FAILURE(databaseOn(server));
    link();
    staff({"jnowak", "akowal"});
    readGsmLines();
    pollStoredMessages();
    smsNotices("jnowak");
    // A desk whose answer waited for its row would be answered only at
    // this bound, long after the waits below give up.
    db::SetCallBound(std::chrono::minutes(2));

    server.kill();
    exchange->SetSmsSendScript({false, SmsSendScript::Outcome::Ack, -5, -1, 0});
    send("jnowak", "600123456", "Hello");
    send("jnowak", "600654321", "Hello again");
    send("jnowak", "60065432x", "Refused");
    desks.at("akowal")->ClearReceived();
    ASSERT_TRUE(desks.at("akowal")->Send("!PING\r"));
    ASSERT_TRUE(serveUntil([&] { return !desks.at("akowal")->Replies().empty(); }));
    EXPECT_EQ(desks.at("akowal")->Replies(), Texts{"OK"});
    ticksUntilSent(1, 1);
    // Acknowledged: the line takes the next one.
    ASSERT_TRUE(serveUntil([&] { return sms().SmsEngine.MainQueueSize() == 0; }));
    ticksUntilSent(3, 2);
    ASSERT_TRUE(flushed());
    EXPECT_EQ(smsNotices("jnowak"), Texts{});
    EXPECT_EQ(sms().SmsEngine.MainQueueSize(), 0);

    ASSERT_TRUE(server.start()) << server.error();
    form->trmReconnectTimer();
    const std::string sender = "1 " + id("jnowak") + " ";
    const Texts stored{sender + "1 600123456 600100200", sender + "1 600654321 600100200",
                       sender + "2 60065432x "};
    ASSERT_TRUE(serveUntil([&] { return form->Database().Road().Waiting() == 0 && smsRows() == stored; }))
        << testing::PrintToString(smsRows());
    Texts keys;
    for (auto& row : rows("SELECT NID FROM SMS ORDER BY NID"))
        keys.push_back(row.at("NID"));
    const Texts notices = smsNotices("jnowak");
    const auto added = [&](std::size_t i, const std::string& number, const std::string& state,
                           const std::string& text) {
        return "!SMS&ADD&" + keys.at(i) + "&1&" + stamp() + "&" + number + "&&" + state + "&" + base64(text) +
               "\r\n";
    };
    // The rows announced in their order; each change is handed on once its
    // row is in, behind the rows that waited with it, and told once written.
    EXPECT_EQ(notices, Texts({added(0, "600123456", "4", "Hello"), added(1, "600654321", "4", "Hello again"),
                              added(2, "60065432x", "2", "Refused"), "!SMS&CHG\r\n", "!SMS&CHG\r\n"}));
    // The keys kept for the changes that named their rows go with them.
    EXPECT_TRUE(serveUntil([&] { return form->Database().Road().KeysKept() == 0; }))
        << form->Database().Road().KeysKept();
    db::SetCallBound(db::DefaultCallBound);
    testfb::DetachMain();
}

// A key let go while the writer forgets another one (its journal busy with
// another client's write meanwhile) is forgotten too, without waiting for
// some later row to wake the writer.
TEST_F(SmsRoad, AKeyLetGoWhileAnotherIsForgottenGoesToo) {
    const std::string journal = folder.file("rows.sqlite");
    ASSERT_TRUE(form->Database().OpenRowJournal(journal));
    ASSERT_NO_FATAL_FAILURE(linkedWithDesk());
    db::RowRoad& road = form->Database().Road();
    const std::string first = db::NewRowToken(), second = db::NewRowToken();
    // Named by a kept delivery report each, say: held past their rows.
    road.HoldKeys({first, second});
    std::size_t written = 0;
    const auto keyed = [&](const std::string& token, const std::string& number) {
        db::RoadRow row = db::RoadRow::Keyed(
            db::GeneratorQuery("Sms"),
            "INSERT INTO Sms (nId, nDir, sDate, sTime, sNumber, sLine, sBody, nState, nUserId) VALUES (" +
                std::string(db::RowKeyMarker) + ", 1, '2026-03-09', '10:00:00', '" + number +
                "', '', 'kept', 4, 0)",
            [&](int result, const std::string&) { written += result == 0 ? 1 : 0; });
        row.token = token;
        return row;
    };
    std::vector<db::RoadRow> rows;
    rows.push_back(keyed(first, "600111111"));
    rows.push_back(keyed(second, "600222222"));
    form->Database().HandRows(std::move(rows));
    ASSERT_TRUE(serveUntil([&] { return written == 2 && road.Waiting() == 0; }));
    // Their own uses went with their followers: the holds alone keep them.
    serveUntil([] { return true; });
    ASSERT_EQ(road.KeysKept(), 2u);

    const QString holderName = QStringLiteral("journal-holder");
    {
        QSqlDatabase holder = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), holderName);
        holder.setDatabaseName(QString::fromStdString(journal));
        ASSERT_TRUE(holder.open());
        QSqlQuery hold(holder);
        ASSERT_TRUE(hold.exec(QStringLiteral("BEGIN IMMEDIATE")));
        road.ReleaseKeys({first});
        // Gone from memory: the writer waits for the journal now.
        ASSERT_TRUE(serveUntil([&] { return road.KeysKept() == 1; }));
        road.ReleaseKeys({second});
        ASSERT_TRUE(hold.exec(QStringLiteral("ROLLBACK")));
        holder.close();
    }
    QSqlDatabase::removeDatabase(holderName);
    EXPECT_TRUE(serveUntil([&] { return road.KeysKept() == 0; })) << road.KeysKept();
}

// With rows written on a thread of their own, a database that holds every
// byte holds no handler: a desk's message and one from the exchange wait for
// their rows while the event loop goes on (neither kept as for a lost
// connection, nor announced, answered, sent or acknowledged yet); once the
// database answers, each is stored, announced (then the desk answered), sent
// or acknowledged.
TEST_F(SmsRoad, BehindAHeldDatabaseMessagesWaitForTheirRowsWithoutHoldingTheEventLoop) {
    testfb::PrivateServer server;
    std::unique_ptr<testing_support::SlowTcpProxy> relay;
    ASSERT_NO_FATAL_FAILURE(databaseOn(server, &relay));
    ASSERT_NO_FATAL_FAILURE(linkedWithDesk());
    ClientSimulator& desk = *desks.at("jnowak");
    // A handler that waited for the held database would give its row up
    // as unanswered at this bound, long before the relay lets go.
    db::SetCallBound(std::chrono::seconds(30));

    {
        relay->hold(true);
        testing_support::ReleaseLater release(*relay);
        exchange->SetSmsSendScript({false, SmsSendScript::Outcome::Ack, -5, -1, 0});
        ASSERT_TRUE(desk.Send("!SMS&SEND&&600123456&" + base64("Hello") + "\r\n"));
        // Queued at once, though its row and so its "OK" wait for the writer.
        ASSERT_TRUE(serveUntil([&] {
            const auto& lines = sms().SmsEngine.LineQueues;
            return std::any_of(lines.begin(), lines.end(),
                               [](const auto& line) { return !line.second.empty(); });
        }));
        exchange->StoreSms(Line, sim::pdu::DeliverHello);
        form->miSmsSynchronizeClick();
        const std::size_t polls = commandCount("SMS GET 1");
        EXPECT_TRUE(tickedUntil([&] {
            return !exchange->SentMessages().empty() && commandCount("SMS GET 1") > polls &&
                   !sms().SmsEngine.bSmsRequestSent;
        })) << "sent and polled whatever the database does";
        ASSERT_TRUE(flushed());
        EXPECT_TRUE(form->Database().Road().WritingNow()) << "kept as for a lost connection";
        EXPECT_FALSE(form->Database().Road().Idle()) << "the rows are not on the road";
        EXPECT_EQ(exchange->SentMessages().size(), 1u);
        for (const std::string& command : exchange->Commands())
            EXPECT_FALSE(command.starts_with("SMS ACK")) << "acknowledged before its row exists";
        EXPECT_EQ(smsAndAnswers(desk), Texts{}) << "answered before its row exists";
        relay->hold(false);
    }

    ASSERT_TRUE(serveUntil([&] { return exchange->StoredSmsCount(Line) == 0; })) << "acknowledged";
    pollStoredMessages();
    ticksUntilSent(1, 1);
    ASSERT_TRUE(serveUntil([&] {
        return smsRows() ==
               Texts{"1 " + id("jnowak") + " 1 600123456 600100200", "0 0 0 601234567 600100200"};
    })) << testing::PrintToString(smsRows());
    const std::string key = rows("SELECT NID FROM SMS WHERE NDIR = 1").at(0).at("NID");
    ASSERT_TRUE(serveUntil([&] { return smsAndAnswers(desk).size() >= 3; }));
    ASSERT_TRUE(settled());
    EXPECT_EQ(smsAndAnswers(desk),
              Texts({"!SMS&ADD&" + key + "&1&" + stamp() + "&600123456&&4&" + base64("Hello") + "\r\n", "OK",
                     "!SMS&CHG\r\n"}));
    EXPECT_EQ(form->Database().Road().Waiting(), 0u);
    db::SetCallBound(db::DefaultCallBound);
    testfb::DetachMain();
}

// A desk's message while the main connection is away and the database
// silent: its row goes to the writer, and the attach is left to the
// reconnect. No handler waits in an attach meanwhile, so every other desk is
// still served.
TEST_F(SmsRoad, ADesksMessageWithoutTheMainConnectionAttachesNothingOnTheSpot) {
    testfb::PrivateServer server;
    std::unique_ptr<testing_support::SlowTcpProxy> relay;
    ASSERT_NO_FATAL_FAILURE(databaseOn(server, &relay));
    ASSERT_NO_FATAL_FAILURE(link());
    ASSERT_NO_FATAL_FAILURE(staff({"jnowak", "akowal"}));
    db::SetCallBound(std::chrono::seconds(3));
    testfb::DetachMain();
    relay->hold(true);
    {
        testing_support::ReleaseLater release(*relay);
        for (auto& [login, desk] : desks)
            desk->ClearReceived();
        ASSERT_TRUE(desks.at("jnowak")->Send("!SMS&SEND&&600123456&" + base64("Hello") + "\r\n"));
        ASSERT_TRUE(desks.at("akowal")->Send("!PING\r"));
        ASSERT_TRUE(serveUntil([&] { return !desks.at("akowal")->Replies().empty(); }));
        EXPECT_EQ(desks.at("akowal")->Replies(), Texts{"OK"});
        EXPECT_EQ(mainLogText().find(", łączenie porzucone"), std::string::npos)
            << "an attach held the desks";
        relay->hold(false);
    }
    ASSERT_TRUE(serveUntil([&] { return !desks.at("jnowak")->Replies().empty(); }));
    db::SetCallBound(db::DefaultCallBound);
    testfb::DetachMain();
}

// A desk's message is answered once its row is stored and announced:
// "!SMS&ADD" comes before "OK", and the answer of what the desk sent behind
// the request follows it. A row the database refuses for good does not stop
// the message: it is sent all the same (with no row, nothing is announced,
// and the log names the row).
TEST_F(SmsRoad, ADesksMessageIsAnnouncedBeforeItIsAnsweredAndARefusedRowDoesNotStopIt) {
    ASSERT_NO_FATAL_FAILURE(linkedWithDesk());
    exchange->SetSmsSendScript({false, SmsSendScript::Outcome::Ack, -5, -1, 0});
    ClientSimulator& desk = *desks.at("jnowak");
    ASSERT_TRUE(desk.Send("!SMS&SEND&&600123456&" + base64("Hello") + "\r\n!PING\r"));
    ASSERT_TRUE(serveUntil([&] { return desk.Replies().size() >= 2 && smsRows().size() == 1; }));
    ASSERT_TRUE(settled());
    const std::string key = rows("SELECT NID FROM SMS").at(0).at("NID");
    EXPECT_EQ(smsAndAnswers(desk),
              Texts({"!SMS&ADD&" + key + "&1&" + stamp() + "&600123456&&4&" + base64("Hello") + "\r\n", "OK",
                     "OK"}));
    desk.ClearReceived();
    ticksUntilSent(1, 1);
    const Texts sentRow{"1 " + id("jnowak") + " 1 600123456 600100200"};
    ASSERT_TRUE(serveUntil([&] { return smsRows() == sentRow; })) << testing::PrintToString(smsRows());
    EXPECT_EQ(smsNotices("jnowak"), Texts({"!SMS&CHG\r\n"}));

    execute("CREATE EXCEPTION SMS_REFUSED 'refused'");
    execute("CREATE TRIGGER SMS_REFUSE FOR SMS ACTIVE BEFORE INSERT POSITION 1 AS BEGIN IF (NEW.SNUMBER = "
            "'600999999') THEN EXCEPTION SMS_REFUSED; END");
    send("jnowak", "600999999", "Refused");
    ticksUntilSent(1, 2);
    // Acknowledged: the line is free for the next one.
    ASSERT_TRUE(serveUntil([&] { return sms().SmsEngine.LineQueues[LineNumber].empty(); }));
    EXPECT_EQ(smsRows(), sentRow);
    EXPECT_EQ(smsNotices("jnowak"), Texts{});
    const std::string log = mainLogText();
    const std::size_t named = log.find("Nie zapisano w bazie danych: INSERT INTO Sms");
    ASSERT_NE(named, std::string::npos) << log;
    EXPECT_NE(log.find("'Refused'", named), std::string::npos) << log;
}

// A row that waits for a lock with the connection up (an update that
// deadlocks with itself) holds no other row: a desk's message handed on
// behind it goes past, is announced with its key and answered, and its
// acknowledgement is stored and told. The waiting row is written once the
// lock goes, and only then told.
TEST_F(SmsRoad, ADesksMessageWrittenBackAtOnceBehindARowKeptOnAnOpenConnectionIsFollowed) {
    ASSERT_NO_FATAL_FAILURE(linkedWithDesk());
    // While the obstacle is up, an update of an Sms row deadlocks with itself.
    execute("CREATE TABLE SMS_OBSTACLE (RAISED INTEGER)");
    execute("INSERT INTO SMS_OBSTACLE VALUES (0)");
    execute("CREATE TRIGGER SMS_DEADLOCK FOR SMS ACTIVE AFTER UPDATE POSITION 1 AS BEGIN IF ((SELECT RAISED "
            "FROM SMS_OBSTACLE) = 1) THEN IN AUTONOMOUS TRANSACTION DO UPDATE SMS SET NFORWARD = NFORWARD "
            "WHERE NID = NEW.NID; END");
    exchange->SetSmsSendScript({true, SmsSendScript::Outcome::Ack, -5, -1, 0});
    send("jnowak", "600123456", "Hello");
    ticksUntilSent(1, 1);
    const std::string sender = "1 " + id("jnowak") + " ";
    ASSERT_TRUE(serveUntil([&] { return smsRows() == Texts{sender + "1 600123456 600100200"}; }))
        << testing::PrintToString(smsRows());
    smsNotices("jnowak");

    execute("UPDATE SMS_OBSTACLE SET RAISED = 1");
    exchange->SendStatusReport(Line, exchange->SentMessages().at(0).messageReference, 0);
    ASSERT_TRUE(serveUntil([&] { return form->Database().Road().Waiting() == 1; }));
    ASSERT_TRUE(MainDbHandleExists());
    EXPECT_EQ(smsNotices("jnowak"), Texts{}) << "told before its change is written";
    execute("UPDATE SMS_OBSTACLE SET RAISED = 0");

    send("jnowak", "600654321", "Hello again");
    ticksUntilSent(1, 2);
    ASSERT_TRUE(serveUntil([&] {
        return smsRows() == Texts{sender + "3 600123456 600100200", sender + "1 600654321 600100200"};
    })) << testing::PrintToString(smsRows());
    const std::string key = rows("SELECT NID FROM SMS WHERE SNUMBER = '600654321'").at(0).at("NID");
    const std::string changed = "!SMS&CHG\r\n";
    ASSERT_TRUE(serveUntil([&] {
        const Texts seen = smsAndAnswers(*desks.at("jnowak"));
        return std::count(seen.begin(), seen.end(), changed) >= 2;
    }));
    // The report's change and the acknowledgement's, each once; which of
    // the two is written first is the lock's to say.
    Texts notices = smsNotices("jnowak");
    EXPECT_EQ(std::erase(notices, changed), 2u);
    EXPECT_EQ(notices, Texts({"!SMS&ADD&" + key + "&1&" + stamp() + "&600654321&&4&" + base64("Hello again") +
                              "\r\n"}));
}

} // namespace
