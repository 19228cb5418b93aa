#include "sms/SmsGateway.h"
#include "sms/SmsTestHost.h"
#include "support/MainFormFixture.h"
#include "support/SmallDisk.h"

#include <QTreeWidgetItem>

namespace {

using testing_support::MainFormFixture;

class SmsGatewayOfWindow : public MainFormFixture {};

// A host that is no window: the gateway needs nothing else to be built.
using RecordingHost = SmsTestHost;

} // namespace

TEST(SmsGateway, HandsItsHostsCallbacksToTheEngine) {
    RecordingHost host;
    sms::SmsGateway gateway(host);
    ASSERT_NE(gateway.SmsEngine.LogCallback(), nullptr);
    ASSERT_NE(gateway.SmsEngine.UserNameCallback(), nullptr);
    (*gateway.SmsEngine.LogCallback())("GSM:1 gotowa");
    EXPECT_EQ(host.log.lines, std::vector<std::string>{"GSM:1 gotowa"});
    EXPECT_EQ((*gateway.SmsEngine.UserNameCallback())("12"), "user 12");
}

// The engine logs through the window's LogCallback, at level 1 and unchanged
// (a '%' is no format), and names users through its UserNameCallback.
TEST_F(SmsGatewayOfWindow, TheEngineLogsAndNamesUsersThroughTheWindow) {
    createForm("DEBUG");
    SMS& engine = form->Sms().SmsEngine;
    ASSERT_EQ(engine.LogCallback(), &form->LogCallback);
    ASSERT_EQ(engine.UserNameCallback(), &form->UserNameCallback);

    (*engine.LogCallback())("Wysłano 100% części %s%n");
    EXPECT_NE(mainLogText().find(": Wysłano 100% części %s%n\n"), std::string::npos) << logSoFar;

    new QTreeWidgetItem(form->UserLV, QStringList{QStringLiteral("7"), QStringLiteral("Kowalski")});
    EXPECT_EQ((*engine.UserNameCallback())("7"), "Kowalski ") << "the blank stays behind a lone surname";
    EXPECT_EQ((*engine.UserNameCallback())("8"), "") << "an unknown user has no name";
}

// The expected reports are written to their file as they change; a write the
// full disk refuses is said in the log, and the report is still expected.
TEST_F(SmsGatewayOfWindow, AnExpectedReportTheDiskRefusesIsSaidInTheLog) {
    testing_support::SmallDisk disk;
    if (!disk.mounted())
        GTEST_SKIP() << "no small filesystem of the test's own could be mounted: " << disk.error();
    createForm("DEBUG");
    sms::SmsGateway& gateway = form->Sms();
    const std::string path = disk.file("halvex-reports.sqlite");
    gateway.KeepExpectedReports(path);
    const std::vector<sms::S_GSMLINE> lines{{2, "500100200"}};
    gateway.SmsEngine.v_gsmlines = &lines;
    sms::SMSMSG head;
    head.nId = 9;
    gateway.SmsEngine.LineQueues["500100200"].push_back(head);

    disk.fill();
    gateway.HandleSmsRecord("SMS RAPORT_ID 2 100 42");
    EXPECT_NE(mainLogText().find("Nie można zapisać oczekiwanych raportów SMS linii 2 w " + path),
              std::string::npos)
        << logSoFar;
    ASSERT_EQ(gateway.SmsEngine.ExpectedReports[2].size(), 1u);

    disk.free();
    gateway.HandleSmsRecord("SMS RAPORT_ID 2 101 43");
    sms::ExpectedReportStore store;
    sms::ExpectedReportStore::Reports kept;
    ASSERT_TRUE(store.Open(path) && store.Load(kept)) << store.LastError();
    ASSERT_EQ(kept[2].size(), 2u) << "the next change writes the line's whole list";
    EXPECT_EQ(kept[2].front().iIdR, 42);
    EXPECT_EQ(kept[2].back().nId, 9);
}
