// Commits the server never answered: their rows are settled by the commit's
// key and written only when absent, and a lost call is looked up, never
// taken for an equal earlier one.
#include "OutageFixture.h"

using namespace outagetest;

// The connection goes while a commit waits for its answer, so its rows may
// be in the database or not. After the next attach the commit is settled by
// its key: a commit that never reached the server (a slice's two rows, one
// commit) is written then, one that reached it is not written twice, and so
// for an update.
TEST_F(Outage, RowsOfAnUnansweredCommitAreSettledByTheirCommitsKeyAndWrittenOnlyWhenAbsent) {
    ASSERT_NO_FATAL_FAILURE(formAttachedThroughRelay());
    db::SetCallBound(std::chrono::milliseconds(1000));
    std::vector<std::string> callers;
    const auto writeRow = [&callers] {
        callers.push_back("600" + std::to_string(100000 + callers.size()));
        db::WriteMainRow(ServiceTalkInDB::InsertStatement(Extension("201"), OtherNumber(callers.back()),
                                                          CallDate("2026-12-07"), CallTime("10:00:00"), 1));
    };
    const auto reconnect = [this] {
        relay->dropConnections();
        relay->hold(false);
        form->trmReconnectTimer();
        EXPECT_TRUE(replayed());
    };
    writeRow();
    awaitStored("COUNT=1");
    ASSERT_EQ(writeSms("its state is updated"), 0);
    mainLogText();
    // The transaction's start, the block of both inserts and the commit's
    // key pass, and their answers; the commit does not.
    relay->holdAfterChunksToServer(3, true);
    {
        db::MainRowBatch slice;
        writeRow();
        writeRow();
    }
    ASSERT_TRUE(awaitLoss());
    EXPECT_EQ(form->Database().Road().Waiting(), 2u);
    reconnect();
    // The start, the insert, its key and the commit pass; the commit's
    // answer does not.
    relay->holdAfterChunksToServer(4);
    writeRow();
    ASSERT_TRUE(awaitLoss());
    EXPECT_EQ(form->Database().Road().Waiting(), 1u);
    reconnect();
    // An update whose commit never reached the server is written again
    // and only then told.
    const std::string id = std::to_string(
        std::atoi(testfb::MainQuery(c, "SELECT nId FROM Sms WHERE sBody = 'its state is updated'").c_str()));
    bool told = false;
    relay->holdAfterChunksToServer(3, true);
    db::WriteMainRowsThen({"UPDATE Sms SET nState = 3 WHERE sBody = 'its state is updated'"},
                          [&] { told = true; });
    ASSERT_TRUE(awaitLoss());
    EXPECT_FALSE(told);
    reconnect();
    EXPECT_TRUE(told);
    db::SetCallBound(db::DefaultCallBound);

    EXPECT_EQ(callNumbers(), callers);
    EXPECT_NE(count("Sms WHERE nId = " + id + " AND nState = 3").find("COUNT=1"), std::string::npos);
    const std::string log = mainLogText();
    EXPECT_NE(
        log.find("Sprawdzono, nie ma w bazie danych, zapis zostanie ponowiony: INSERT INTO TalksIncoming"),
        std::string::npos)
        << log;
    EXPECT_NE(log.find("Sprawdzono, jest w bazie danych: INSERT INTO TalksIncoming"), std::string::npos)
        << log;
    EXPECT_NE(log.find("Sprawdzono, nie ma w bazie danych, zapis zostanie ponowiony: UPDATE Sms"),
              std::string::npos)
        << log;
}

// A call equal to one in the history (the same extension, number, moment and
// length) is a call of its own: lost with a commit that never reached the
// server, it is not taken for the earlier one but found missing and written.
// Its lookup goes through an index: the writer reads fewer rows than the
// history holds.
TEST_F(Outage, ALostCallIsNotTakenForAnEqualEarlierOneAndIsLookedUpThroughAnIndex) {
    ASSERT_NO_FATAL_FAILURE(formAttachedThroughRelay());
    const long history = 5000;
    bool ok = false;
    testfb::Isql(c,
                 "SET TERM ^;\nEXECUTE BLOCK AS DECLARE i INTEGER = 0; BEGIN WHILE (i < " +
                     std::to_string(history) +
                     ") DO BEGIN INSERT INTO TalksIncoming (sUserPhone, sNumber) VALUES ('202', :i); "
                     "i = i + 1; END END^\nSET TERM ;^\nCOMMIT;\n",
                 &ok);
    ASSERT_TRUE(ok);
    db::SetCallBound(std::chrono::milliseconds(1000));
    writeCallRow("600100000");
    awaitStored("COUNT=" + std::to_string(history + 1));
    mainLogText();
    relay->holdAfterChunksToServer(3, true);
    writeCallRow("600100000");
    ASSERT_TRUE(awaitLoss());
    relay->dropConnections();
    relay->hold(false);
    form->trmReconnectTimer();
    EXPECT_TRUE(replayed());
    db::SetCallBound(db::DefaultCallBound);

    EXPECT_NE(count("TalksIncoming WHERE sNumber = '600100000'").find("COUNT=2"), std::string::npos);
    EXPECT_NE(mainLogText().find(
                  "Sprawdzono, nie ma w bazie danych, zapis zostanie ponowiony: INSERT INTO TalksIncoming"),
              std::string::npos);
    // The program's connections since their return, the writer's lookup among them.
    const std::string reads = testfb::Isql(
        c, "SELECT 'READ=' || SUM(s.MON$RECORD_SEQ_READS) FROM MON$ATTACHMENTS a JOIN MON$RECORD_STATS s "
           "ON s.MON$STAT_ID = a.MON$STAT_ID WHERE a.MON$ATTACHMENT_ID <> CURRENT_CONNECTION;");
    ASSERT_NE(reads.find("READ="), std::string::npos) << reads;
    EXPECT_LT(std::atol(reads.c_str() + reads.find("READ=") + 5), history) << reads;
}

// A commit still on its way when its connection is given up: the server
// gets it only after the writer, attached again, has looked for it. Found
// absent then, it still must not be written twice: the commit's own key,
// taken anew, waits for the commit still finishing, and the server's
// refusal of it says the commit was written.
TEST_F(Outage, ACommitTheServerFinishesOnlyAfterTheLookupIsWrittenOnce) {
    ASSERT_NO_FATAL_FAILURE(formAttachedThroughRelay());
    db::SetCallBound(std::chrono::milliseconds(1000));
    std::vector<std::string> callers;
    chunksOfOneCallsCommit(callers);
    const std::size_t chunks = chunksOfOneCallsCommit(callers);
    ASSERT_GT(chunks, 1u);
    mainLogText();
    relay->parkAfterChunksToServer(chunks - 1);
    writeCallRows(callers, 1);
    ASSERT_TRUE(awaitLoss());
    form->trmReconnectTimer();
    // Settling: found absent (looked up, it would be written again) or still finishing.
    ASSERT_TRUE(awaitLog({"Sprawdzono, nie ma w bazie danych", "wysyłka jest jeszcze kończona"}))
        << mainLogText();
    relay->releaseParked();
    EXPECT_TRUE(replayed());
    db::SetCallBound(db::DefaultCallBound);

    EXPECT_EQ(callNumbers(), callers);
    EXPECT_NE(mainLogText().find("Sprawdzono, jest w bazie danych: INSERT INTO TalksIncoming"),
              std::string::npos)
        << mainLogText();
}

// The lookup that settles a commit whose answer never came fails, the
// connection there (for a while the program's user may not read the
// tables): it is tried again, never taken for absent, and the call is
// written once.
TEST_F(Outage, ALookupThatFailsIsTriedAgainAndNeverTakenForAbsent) {
    ASSERT_NO_FATAL_FAILURE(formAttachedThroughRelay());
    endApplicationLoop();
    form.reset();
    testfb::DetachMain();
    const testfb::Connection admin = c;
    bool ok = false;
    testfb::Isql(
        admin,
        "CREATE USER HALVEXW PASSWORD 'halvexw';\nCOMMIT;\nSET TERM ^;\nEXECUTE BLOCK AS DECLARE n "
        "VARCHAR(64); BEGIN FOR SELECT TRIM(RDB$RELATION_NAME) FROM RDB$RELATIONS WHERE "
        "RDB$SYSTEM_FLAG = 0 INTO :n DO EXECUTE STATEMENT 'GRANT ALL ON ' || n || ' TO HALVEXW'; FOR "
        "SELECT TRIM(RDB$GENERATOR_NAME) FROM RDB$GENERATORS WHERE RDB$SYSTEM_FLAG = 0 INTO :n DO "
        "EXECUTE STATEMENT 'GRANT USAGE ON SEQUENCE ' || n || ' TO HALVEXW'; END^\nSET TERM ;^\n"
        "COMMIT;\n",
        &ok);
    ASSERT_TRUE(ok);
    c.user = "HALVEXW";
    c.password = "halvexw";
    ASSERT_NO_FATAL_FAILURE(createFormOnServer());
    form->tmrStartupTimer();
    ASSERT_EQ(form->Database().MainDbState, 0);
    ASSERT_TRUE(testfb::AwaitRowRoad());
    db::SetCallBound(std::chrono::milliseconds(1000));
    std::vector<std::string> callers;
    chunksOfOneCallsCommit(callers);
    // Every chunk of the commit passes; no answer comes back.
    relay->holdAfterChunksToServer(chunksOfOneCallsCommit(callers));
    writeCallRows(callers, 1);
    ASSERT_TRUE(awaitLoss());
    // The rows a lookup reads: the commits' keys, and the calls themselves.
    const auto reads = [&](const char* change) {
        for (const char* table : {"RowCommits", "TalksIncoming"})
            testfb::Isql(admin, std::string(change) + table + (change[0] == 'R' ? " FROM" : " TO") +
                                    " HALVEXW;\nCOMMIT;\n");
    };
    relay->dropConnections();
    relay->hold(false);
    reads("REVOKE SELECT ON ");
    mainLogText();
    form->trmReconnectTimer();
    // Looked up: failed, or (failed and) taken for absent.
    ASSERT_TRUE(
        awaitLog({"Nie sprawdzono, czy zapisano w bazie danych", "Sprawdzono, nie ma w bazie danych"}))
        << mainLogText();
    // The grant reaches the writer's next connection.
    reads("GRANT SELECT ON ");
    relay->dropConnections();
    if (form->Database().Road().Waiting() > 0) {
        ASSERT_TRUE(awaitLoss());
    }
    form->trmReconnectTimer();
    EXPECT_TRUE(replayed());
    db::SetCallBound(db::DefaultCallBound);

    c = admin;
    EXPECT_EQ(callNumbers(), callers);
    EXPECT_NE(mainLogText().find("Sprawdzono, jest w bazie danych: INSERT INTO TalksIncoming"),
              std::string::npos)
        << mainLogText();
}

// What a kill during a commit leaves: journal rows marked as sent in
// commits whose answer never came. The next start settles each commit by its
// key alone: the one the database holds is not written again; the one it
// does not hold is written, though a call equal to its row in every other
// value is stored. A row an earlier version marked as sent, without a key,
// is written again. The keys no row waits for any more go with a later commit.
TEST_F(Outage, AnEarlierRunsRowsOfACommitWithoutAnswerAreSettledByTheCommitsKey) {
    QTemporaryDir state;
    const std::string journal = state.filePath("halvex-rows.sqlite").toStdString();
    ASSERT_NO_FATAL_FAILURE(formAttachedToRunningServer());
    const auto call = [](const char* caller) {
        return ServiceTalkInDB::InsertStatement(Extension("201"), OtherNumber(caller), CallDate("2026-12-07"),
                                                CallTime("10:00:00"), 1);
    };
    std::vector<db::RowJournal::Entry> rows(3);
    rows[0].statement = call("600100400");
    rows[1].statement = call("600100401");
    rows[2].statement = call("600100402");
    endApplicationLoop();
    form.reset();
    testfb::DetachMain();
    std::string identity;
    {
        db::RowJournal kept;
        ASSERT_TRUE(kept.Open(journal));
        identity = kept.Identity();
        std::vector<db::RowJournal::Entry*> entries{&rows[0], &rows[1], &rows[2]};
        ASSERT_TRUE(kept.Append(entries));
        ASSERT_TRUE(kept.MarkAttempted({rows[0].seq}, 7));
        ASSERT_TRUE(kept.MarkAttempted({rows[1].seq}, 8));
    }
    bool ok = false;
    testfb::Isql(c,
                 rows[0].statement + ";\n" + call("600100401") + ";\nINSERT INTO RowCommits VALUES ('" +
                     identity + "', 7);\nCOMMIT;\n",
                 &ok);
    ASSERT_TRUE(ok);
    markSentWithoutKey(journal, rows[2].seq);
    ASSERT_NO_FATAL_FAILURE(formWithJournal(journal));
    EXPECT_TRUE(replayed());
    EXPECT_EQ(callNumbers(), (std::vector<std::string>{"600100400", "600100401", "600100401", "600100402"}));
    const std::string log = mainLogText();
    EXPECT_NE(log.find("Sprawdzono, jest w bazie danych: " + rows[0].statement), std::string::npos) << log;
    EXPECT_NE(log.find("Sprawdzono, nie ma w bazie danych, zapis zostanie ponowiony: " + rows[1].statement),
              std::string::npos)
        << log;
    EXPECT_NE(
        log.find("Nie wiadomo, czy zapisano w bazie danych, zapis zostanie ponowiony: " + rows[2].statement),
        std::string::npos)
        << log;
    writeCallRow("600100403");
    awaitStored("COUNT=5");
    EXPECT_TRUE(replayed());
    EXPECT_NE(count("RowCommits").find("COUNT=1"), std::string::npos) << count("RowCommits");
}
