// Every table class writes and reads back rows with Polish letters stored in
// the wire code page, and outside text with quotes, "--" and ";" round-trips
// without touching anything else. Also the value formatting of queries.
#include "base/FormatSettings.h"
#include "db/CallHistoryTables.h"
#include "db/ContactTables.h"
#include "db/DbErrorText.h"
#include "db/InterfaceDB.h"
#include "db/MessageTables.h"
#include "db/RowLookup.h"
#include "db/UserTables.h"
#include "platform/WireCodePage.h"
#include "support/FirebirdFixtures.h"
#include "support/LinkTestSupport.h"
#include "ui/Dialogs.h"

namespace {

const std::string Polish = "Zażółć gęślą jaźń";
const std::string Nasty = "O'Brien -- '; DELETE FROM Sms; --";
const std::string NastyShort = "O'B -- '; DELETE; --";

class Tables : public ::testing::Test {
  protected:
    void SetUp() override {
        testfb::UseEmbeddedEngine();
        platform::setWireCodePage(platform::WireCodePage::Cp1250);
        testfb::DetachMain();
        ui::setDialogs(std::make_shared<ui::ScriptedDialogs>());
        c.path = folder.file("t.fdb");
        c.password = "masterkey";
        ASSERT_NO_FATAL_FAILURE(testfb::AttachAndCreateSchema(c));
    }
    void TearDown() override { testfb::DetachMain(); }

    TStringList query(const std::string& sql) {
        SessionDB session(c.host, c.path, c.user, c.password, &MainDbHandle, true);
        TStringList rows;
        session.SetResultStrings(&rows);
        EXPECT_EQ(session.ExecuteSQL(sql), 0) << sql;
        return rows;
    }
    template <class T> std::unique_ptr<T> make() {
        return std::make_unique<T>(c.host, c.path, c.user, c.password);
    }

    testfb::DatabaseFolder folder;
    testfb::Connection c;
};

} // namespace

TEST_F(Tables, SmsRowsKeepPolishTextInTheWireCodePageAndQuotesChangeNothingElse) {
    auto sms = make<ServiceSmsDB>();
    sms->nDir = "1";
    sms->sDate = "2024-03-05";
    sms->sTime = "09:04:03";
    sms->sNumber = "+48600100200";
    sms->sLine = NastyShort;
    sms->sBody = Polish;
    sms->nState = "4";
    sms->nUserId = "3";
    ASSERT_EQ(sms->InsertDataWithId(), 0);
    EXPECT_EQ(sms->nId, "1");
    sms->sBody = Nasty;
    ASSERT_EQ(sms->InsertDataWithId(), 0);
    EXPECT_EQ(sms->nId, "2");
    EXPECT_EQ(query("select sBody from Sms order by nId"), (TStringList{Polish, Nasty}));
    // 'ż' is 0xBF in Windows-1250.
    EXPECT_EQ(query("select ascii_val(substring(sBody from 3 for 1)) from Sms where nId = 1"),
              TStringList{"191"});
    EXPECT_EQ(sms->UpdateLine(SmsLine(Polish), SmsRowId("1")), 0);
    EXPECT_NE(sms->UpdateStatus(SmsState("1"), SmsRowId(Nasty)), 0); // not a key: refused, nothing changes
    EXPECT_EQ(sms->CheckBadStatus(), 0);
    EXPECT_EQ(query("select nState, sLine from Sms order by nId"),
              (TStringList{"2", Polish, "2", NastyShort}));

    // A failed insert hands no key back.
    auto failing = make<ServiceSmsDB>();
    failing->nId = "old";
    failing->sDate = "not a date";
    EXPECT_NE(failing->InsertDataWithId(), 0);
    EXPECT_EQ(failing->nId, "old");
}

TEST_F(Tables, RoutingContactAndGroupRowsRoundTrip) {
    auto rule = make<ServiceSmsRoutingDB>();
    rule->nPriority = "1";
    rule->sSender = Nasty.substr(0, 30);
    rule->sLine = "?";
    rule->sRecipients = "12 7  3";
    ASSERT_EQ(rule->InsertDataWithId(), 0);
    auto clash = make<ServiceSmsRoutingDB>();
    clash->nPriority = "1";
    clash->sSender = clash->sLine = clash->sRecipients = "x";
    EXPECT_NE(clash->InsertDataWithId(), 0); // UNIQUE priority
    InterfaceDB front;
    front.SetConnection(c.host, c.path, c.user, c.password);
    std::vector<ROUTING_RULE> rules;
    ASSERT_EQ(
        front.WyswietlBazeDB("SmsRouting", "nId, nPriority, sSender, sLine, sRecipients", "0", "", &rules),
        0);
    ASSERT_EQ(rules.size(), 1u);
    EXPECT_EQ(rules[0].sSender, Nasty.substr(0, 30));
    EXPECT_EQ(rules[0].sRecipients, (std::vector<int32_t>{12, 7, 3}));

    auto group = make<ServiceContactGroupsDB>();
    group->sGroupName = Polish;
    ASSERT_EQ(group->InsertData(), 0);
    std::map<int, std::string> groups;
    ASSERT_EQ(front.WyswietlBazeDB("ContactGroups", "idGroup, sGroupName", "0", "", &groups), 0);
    EXPECT_EQ(groups, (std::map<int, std::string>{{1, Polish}}));

    auto contact = make<ServiceContactsDB>();
    contact->name = Polish;
    contact->note = Nasty;
    contact->company = "Łódź";
    contact->nGroupId = group->idGroup;
    ASSERT_EQ(contact->InsertDataWithId(), 0);
    contact->city = Nasty;
    ASSERT_EQ(contact->UpdateData(), 0);
    std::vector<ContactRow> rows;
    ASSERT_EQ(front.WyswietlBazeDB(
                  "ContactPriv",
                  "idContactPriv, Company, JobPosition, Name, FirstName, Phone, Home, Mobile, Mail, "
                  "www, Address, City, PostCode, nGroupId",
                  "CTIusers_nUserID", "0", &rows),
              0);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].Name, Polish);
    EXPECT_EQ(rows[0].Company, "Łódź");
    EXPECT_EQ(rows[0].City, Nasty);
    EXPECT_EQ(rows[0].nGroupId, 1);
    EXPECT_EQ(make<ServiceContactsDB>()->DeleteData(), -1);
    EXPECT_EQ(make<ServiceContactsDB>()->DeleteAllData("0"), 0);
    EXPECT_TRUE(query("select idContactPriv from contactpriv").empty());
}

TEST_F(Tables, UsersPhonesGroupsHistoryAndViews) {
    auto group = make<ServiceUserGroupsDB>();
    group->sGroupName = Nasty;
    ASSERT_EQ(group->InsertData(), 0);
    TStringList found;
    group->SetResultStrings(&found);
    ASSERT_EQ(group->CheckExistGroup(Nasty), 0);
    EXPECT_EQ(found, TStringList{"1"});

    auto user = make<ServiceUseresDB>();
    user->sUserName = Polish;
    user->sUserLogin = Nasty.substr(0, 32);
    user->sUserPassword = "0123456789abcdef0123456789abcdef";
    user->nGroupID = 1;
    ASSERT_EQ(user->InsertData(), 0);
    TStringList users;
    user->SetResultStrings(&users);
    ASSERT_EQ(user->CheckExistUser(Nasty.substr(0, 32)), 0);
    EXPECT_EQ(users, TStringList{"1"});

    auto phone = make<ServiceUserPhonesDB>();
    phone->nUserID = 1;
    phone->sUserPhone = "101";
    phone->sUserPhoneName = Polish;
    ASSERT_EQ(phone->InsertData(), 0);
    EXPECT_NE(phone->InsertData(), 0); // the number is unique

    auto in = make<ServiceTalkInDB>();
    ASSERT_EQ(in->InsertData(Extension("101"), OtherNumber(Nasty + std::string(40, '9')),
                             CallDate("2007-03-05"), CallTime("09:04:03"), 0),
              0);
    ASSERT_EQ(
        in->InsertData(Extension("999"), OtherNumber("1"), CallDate("2007-03-05"), CallTime("09:04:03"), 5),
        0);
    auto out = make<ServiceTalkOutDB>();
    ASSERT_EQ(out->InsertData(Extension("101"), OtherNumber("600"), CallDate("2007-03-05"),
                              CallTime("23:59:59"), 7),
              0);
    // Only extensions of a user appear in the history views; numbers are cut to 32.
    EXPECT_EQ(query("select snumber, sdate, stime, nLength, nuserid from historyIn"),
              (TStringList{platform::utf8Left(Nasty + std::string(40, '9'), 32), "2007-03-05", "9:04:03", "0",
                           "1"}));
    EXPECT_EQ(query("select sLinia, nTaryfa from TalksOutgoing"), (TStringList{"", ""}));
    EXPECT_EQ(query("select sgroupname, susername from UserAndGroup"), (TStringList{Nasty, Polish}));

    phone->sUserPhone = "101";
    ASSERT_EQ(phone->DeleteData(), 0);
    phone->sUserPhone = Nasty;
    ASSERT_EQ(phone->DeleteData(), 0);
    EXPECT_EQ(user->DeleteData(), 0); // nUserID 0: nobody
    EXPECT_EQ(query("select count(*) from CTIusers"), TStringList{"1"});
    EXPECT_EQ(query("select count(*) from TalksIncoming"), TStringList{"2"});
}

TEST_F(Tables, ValuesBecomeTextAsTheirTypesSay) {
    auto session = std::make_unique<SessionDB>(c.host, c.path, c.user, c.password, &MainDbHandle, true);
    ASSERT_EQ(session->ExecuteSQL("create table typed (d date, t time, ts timestamp, b bigint, m bigint, n "
                                  "numeric(9,2), c char(8), z integer)"),
              0);
    ASSERT_EQ(
        session->ExecuteSQL("insert into typed values ('2007-03-05', '09:04:03.5', '2007-03-05 09:04:03', "
                            "4294967303, -1, 12.50, 'anna', null)"),
        0);
    std::vector<QueryRow> rows;
    session->SetSqlText("select d, t, ts, b, m, n, c, z, b as d from typed");
    ASSERT_EQ(session->StartTransaction(true), 0);
    ASSERT_EQ(session->RunQueryToList(&rows), 0);
    ASSERT_EQ(session->CommitTransaction(), 0);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0]["D"], "2007-03-05"); // the first of two columns of one name stays
    EXPECT_EQ(rows[0]["T"], "9:04:03");
    EXPECT_EQ(rows[0]["TS"], "2007-03-05  9:04:03");
    EXPECT_EQ(rows[0]["B"], "4294967303");
    EXPECT_EQ(rows[0]["M"], "-1");
    EXPECT_EQ(rows[0]["N"], "12.50");
    EXPECT_EQ(rows[0]["C"], "anna");
    EXPECT_EQ(rows[0]["Z"], "");

    // A failed statement is rolled back, so the handle can still be detached.
    EXPECT_NE(session->ExecuteSQL("insert into nowhere values (1)"), 0);
    EXPECT_EQ(session->ExecuteSQL("SeLeCt 1 from rdb$database"), 0);
    session.reset();
    EXPECT_EQ(SessionDB::DetachDatabase(&MainDbHandle), 0);
}

// A language's locale lines change the separator every float is written with.
TEST_F(Tables, FloatsTakeTheDecimalSeparatorOfTheLocaleSettings) {
    auto session = std::make_unique<SessionDB>(c.host, c.path, c.user, c.password, &MainDbHandle, true);
    ASSERT_EQ(session->ExecuteSQL("create table floats (f double precision)"), 0);
    ASSERT_EQ(session->ExecuteSQL("insert into floats values (12.5)"), 0);
    const std::string separator = base::FormatSettings().DecimalSeparator();
    base::FormatSettings().values[2] = ",";
    std::vector<QueryRow> rows;
    session->SetSqlText("select f from floats");
    ASSERT_EQ(session->StartTransaction(true), 0);
    ASSERT_EQ(session->RunQueryToList(&rows), 0);
    ASSERT_EQ(session->CommitTransaction(), 0);
    base::FormatSettings().values[2] = separator;
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0]["F"], "12,50");
}

TEST(DbErrorTexts, NamesAndMessages) {
    EXPECT_EQ(IscStatusName(0), "brak opisu błędu");
    EXPECT_EQ(IscStatusName(-1), "brak opisu błędu");
    EXPECT_EQ(IscStatusName(660), "isc_err_max");
    EXPECT_EQ(IscStatusName(335544321), "isc_arith_except");
    EXPECT_EQ(IscStatusName(336330985), "isc_gbak_db_in_use");
    EXPECT_EQ(IscStatusName(336920607), "isc_gstat_sysmemex");
    EXPECT_EQ(GetDbErrorText(335544721), "IDS_710IDS_714IDS_715IDS_716IDS_717");
    EXPECT_EQ(QuoteSql(" \t O'Neil\t"), "O''Neil");
    EXPECT_EQ(QuoteSql("''"), "''''");
    EXPECT_EQ(
        InterfaceDB::BrowseSql("UserPhones", "nUserID, nID, sUserPhone, sUserPhoneName", "nUserID", "5"),
        "Select nUserID, nID, sUserPhone, sUserPhoneName from UserPhones WHERE  nUserID = '5'   ");
    EXPECT_EQ(InterfaceDB::BrowseSql("UserGroups", "sGroupName", "nUserID", ""),
              "Select sGroupName from UserGroups");
    EXPECT_EQ(InterfaceDB::BrowseSql("", "0", "0", ""), "");
}

namespace {

constexpr int TransliterationFailed = 335544565; // isc_transliteration_failed
constexpr int MalformedString = 335544849;       // isc_malformed_string

} // namespace

TEST_F(Tables, TextsTheWireCodePageCannotHoldAreRefusedWholeAndNulToo) {
    linktest::LogCapture log;
    const std::string Russian = "Привет";
    auto smsWith = [this](const std::string& body) {
        auto sms = make<ServiceSmsDB>();
        sms->nDir = sms->nState = sms->nUserId = "1";
        sms->sDate = "2024-03-05";
        sms->sTime = "09:04:03";
        sms->sNumber = sms->sLine = "1";
        sms->sBody = body;
        return sms;
    };
    // Written, it would be six 0x1A bytes; refused, there is no row at all.
    auto sms = smsWith(Russian);
    EXPECT_EQ(sms->InsertDataWithId(), TransliterationFailed);
    EXPECT_EQ(sms->nId, "");
    EXPECT_TRUE(log.WaitForLine("Znaki spoza strony kodowej windows-1250 w poleceniu SQL, polecenia nie "
                                "wysłano: INSERT INTO Sms",
                                0));
    auto user = make<ServiceUseresDB>();
    user->sUserName = Polish;
    user->sUserLastName = "日本";
    user->sUserLogin = user->sUserPassword = "x";
    EXPECT_EQ(user->InsertData(), TransliterationFailed);
    EXPECT_EQ(user->CheckExistUser("日本"), TransliterationFailed); // not looked up as "\x1a\x1a"

    // A NUL would end the statement inside the value.
    auto contact = make<ServiceContactsDB>();
    contact->name = std::string("Kowal\0ski", 9);
    contact->nGroupId = "1";
    EXPECT_EQ(contact->InsertDataWithId(), MalformedString);
    EXPECT_TRUE(log.WaitForLine("Znak NUL w poleceniu SQL, polecenia nie wysłano: ", 0));
    EXPECT_EQ(query("select count(*) from Sms"), TStringList{"0"});
    EXPECT_EQ(query("select count(*) from CTIusers"), TStringList{"0"});
    EXPECT_EQ(query("select count(*) from contactpriv"), TStringList{"0"});

    // Under Windows-1251 the Russian text is stored, and the Polish one refused.
    sms.reset();
    user.reset();
    contact.reset();
    testfb::DetachMain();
    platform::setWireCodePage(platform::WireCodePage::Cp1251);
    EXPECT_EQ(smsWith(Russian)->InsertDataWithId(), 0);
    EXPECT_EQ(smsWith(Polish)->InsertDataWithId(), TransliterationFailed);
    EXPECT_EQ(query("select sBody from Sms"), TStringList{Russian});
    testfb::DetachMain();
    platform::setWireCodePage(platform::WireCodePage::Cp1250);
}

TEST_F(Tables, ValuesTheColumnsWouldRefuseAreFittedAndTheRowIsKept) {
    // Call lengths beyond an INTEGER (a wrapped negative difference) are clamped.
    auto in = make<ServiceTalkInDB>();
    ASSERT_EQ(in->InsertData(Extension("101"), OtherNumber("600"), CallDate("2024-03-05"),
                             CallTime("09:04:03"), 4294967295u),
              0);
    auto out = make<ServiceTalkOutDB>();
    ASSERT_EQ(out->InsertData(Extension("101"), OtherNumber("600"), CallDate("2024-03-05"),
                              CallTime("09:04:03"), 2147483648u),
              0);
    EXPECT_EQ(query("select nLength from TalksIncoming union all select nLength from TalksOutgoing"),
              (TStringList{"2147483647", "2147483647"}));

    // An SMS body, number and line are cut to their columns; empty numbers
    // become 0 where the column wants a value and NULL where it may be empty.
    std::string body;
    for (int i = 0; i < 1500; ++i)
        body += "ż";
    auto sms = make<ServiceSmsDB>();
    sms->nDir = " ";
    sms->sDate = "2024-03-05";
    sms->sTime = "09:04:03";
    sms->sNumber = std::string(40, '7');
    sms->sLine = "";
    sms->sBody = body;
    sms->nForward = "";
    ASSERT_EQ(sms->InsertDataWithId(), 0);
    EXPECT_EQ(
        query("select char_length(sBody), sNumber, nDir, nState, coalesce(nForward, -1), nUserId from Sms"),
        (TStringList{"1000", std::string(32, '7'), "0", "0", "-1", "0"}));
    EXPECT_EQ(query("select sBody from Sms"), TStringList{platform::utf8Left(body, 1000)});
    EXPECT_EQ(sms->UpdateLine(SmsLine(std::string(33, 'L')), SmsRowId(sms->nId)), 0);
    EXPECT_EQ(sms->UpdateStatus(SmsState(""), SmsRowId(sms->nId)), 0);
    EXPECT_EQ(query("select sLine, nState from Sms"), (TStringList{std::string(32, 'L'), "0"}));

    // A contact without a group, and a routing rule without a priority.
    auto contact = make<ServiceContactsDB>();
    contact->name = "Kowalski";
    ASSERT_EQ(contact->InsertDataWithId(), 0);
    ASSERT_EQ(contact->InsertData(), 0);
    contact->nGroupId = "2";
    ASSERT_EQ(contact->UpdateData(), 0);
    EXPECT_EQ(query("select coalesce(nGroupId, -1) from contactpriv order by idContactPriv"),
              (TStringList{"2", "-1"}));
    contact->nGroupId = "";
    ASSERT_EQ(contact->UpdateData(), 0);
    EXPECT_EQ(query("select count(*) from contactpriv where nGroupId is null"), TStringList{"2"});
    auto rule = make<ServiceSmsRoutingDB>();
    rule->sSender = rule->sLine = rule->sRecipients = "1";
    ASSERT_EQ(rule->InsertDataWithId(), 0);
    EXPECT_EQ(query("select nPriority from SmsRouting"), TStringList{"0"});
}
