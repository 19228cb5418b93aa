// The message tables: messages between users (Msg), SMS (Sms) and the
// routing rules of received SMS (SmsRouting). Text fields hold plain text;
// each statement quotes them itself.
#pragma once

#include "db/RowRoad.h"
#include "db/TableClass.h"
#include "db/TaggedText.h"

class ServiceMsgDB : public ServiceTableDB {
  public:
    ServiceMsgDB(const std::string& host, const std::string& path, const std::string& user,
                 const std::string& password);
    int CreateTable();
    int CreateView();
};

using SmsState = TaggedText<struct SmsStateTag>;
using SmsRowId = TaggedText<struct SmsRowIdTag>;
using SmsLine = TaggedText<struct SmsLineTag>;

// What tells one message from another whose row had its key in another
// database (one a restore replaced): its number, which the message keeps
// all its life (its date and time are stamped again as it is sent).
struct SmsIdentity {
    std::string sNumber;
};

class ServiceSmsDB : public ServiceTableDB {
  public:
    ServiceSmsDB(const std::string& host, const std::string& path, const std::string& user,
                 const std::string& password);
    int CreateTable();
    // Draws a key from ID_Sms into nId and inserts the row under it. With
    // `written`, the row goes to the road of the main database, which
    // draws its key in its turn (db::RowWrittenLater, or db::RowKeptForReturn
    // when it cannot be written at once); `written` hears how it ended,
    // `waiting` when it had to wait after all.
    int InsertDataWithId(const db::RowFollower& written = {}, const std::function<void()>& waiting = {});
    int UpdateStatus(const SmsState& state, const SmsRowId& nId);
    // The statements of UpdateStatus and UpdateLine, to be written elsewhere;
    // given `identity`, they change the row only when it is that message.
    static std::string StatusUpdate(const SmsState& state, const SmsRowId& nId,
                                    const SmsIdentity& identity = {});
    static std::string LineUpdate(const SmsLine& line, const SmsRowId& nId, const SmsIdentity& identity = {});
    // Every SMS still handed to the exchange (4) becomes failed (2).
    int CheckBadStatus();
    static std::string BadStatusUpdate();
    // The same for the one message of key `id`, if still handed to the exchange.
    static std::string BadStatusUpdate(const SmsRowId& id);
    // Changes of one message's row, as the road takes them: named by it,
    // so that they keep their order behind the row's earlier changes.
    static std::vector<db::RoadRow> RowChanges(const SmsRowId& id,
                                               const std::vector<std::string>& statements);
    // The keys of the messages still handed to the exchange (4), and the
    // user of each (nUserId).
    int ReadKeysInProgress(std::vector<std::string>& keys, std::vector<std::string>& users);
    // True for the insert of a message's row, and of a received one's.
    static bool IsInsert(const std::string& statement);
    // The user (nUserId) of a message's row that IsInsert made; "" when the
    // statement names none.
    static std::string UserOfInsert(const std::string& statement);
    static bool IsReceivedRowInsert(const std::string& statement);
    int UpdateLine(const SmsLine& line, const SmsRowId& nId);
    // The last `count` received rows (sDate, sTime, sNumber, sLine, sBody,
    // nUserId), the newest first.
    int ReadLastReceivedRows(std::size_t count, std::vector<QueryRow>& rows);

    std::string nId, nDir, sDate, sTime, sNumber, sLine, sBody, nState, nForward = "0", nUserId;
};

class ServiceSmsRoutingDB : public ServiceTableDB {
  public:
    ServiceSmsRoutingDB(const std::string& host, const std::string& path, const std::string& user,
                        const std::string& password);
    int CreateTable();
    int InsertDataWithId();
    int InsertDataGivenId();
    int UpdateData();
    int UpdatePriority();
    int DeleteData();

    std::string nId, nPriority, sSender, sLine, sRecipients;

  private:
    std::string insertText(const std::string& key) const;
};
