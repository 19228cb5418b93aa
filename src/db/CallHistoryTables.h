// The call history (TalksIncoming, TalksOutgoing) and the views that join
// phones, users and groups. The row values of a call are arguments, each of
// its own type so that a call with two of them swapped does not compile.
#pragma once

#include "db/TableClass.h"
#include "db/TaggedText.h"

using Extension = TaggedText<struct ExtensionTag>;
using OtherNumber = TaggedText<struct OtherNumberTag>;
using CallDate = TaggedText<struct CallDateTag>; // "yyyy-mm-dd"
using CallTime = TaggedText<struct CallTimeTag>; // time of day

class ServiceTalkInDB : public ServiceTableDB {
  public:
    ServiceTalkInDB(const std::string& host, const std::string& path, const std::string& user,
                    const std::string& password);
    int CreateTable();
    // The numbers are cut to their column's 32 characters, the length to
    // what an INTEGER holds.
    int InsertData(const Extension& extension, const OtherNumber& number, const CallDate& date,
                   const CallTime& time, unsigned length);
    // The statement of that row, for writing it on the main connection.
    static std::string InsertStatement(const Extension& extension, const OtherNumber& number,
                                       const CallDate& date, const CallTime& time, unsigned length);
    // An insert that an earlier version made (every column of the table as
    // it was then, in order, unnamed) with its columns named, so that it
    // still fits the table with its rows' marks; any other statement as it is.
    static std::string WithColumnsNamed(const std::string& statement);
};

class ServiceTalkOutDB : public ServiceTableDB {
  public:
    ServiceTalkOutDB(const std::string& host, const std::string& path, const std::string& user,
                     const std::string& password);
    int CreateTable();
    int CreateView();
    int InsertData(const Extension& extension, const OtherNumber& number, const CallDate& date,
                   const CallTime& time, unsigned length);
    static std::string InsertStatement(const Extension& extension, const OtherNumber& number,
                                       const CallDate& date, const CallTime& time, unsigned length);
};

class ServiceHistoryInView : public ServiceTableDB {
  public:
    ServiceHistoryInView(const std::string& host, const std::string& path, const std::string& user,
                         const std::string& password);
    int CreateView();
};

class ServiceUserPhonesView : public ServiceTableDB {
  public:
    ServiceUserPhonesView(const std::string& host, const std::string& path, const std::string& user,
                          const std::string& password);
    int CreateView();
};

class ServiceUserAndGroupView : public ServiceTableDB {
  public:
    ServiceUserAndGroupView(const std::string& host, const std::string& path, const std::string& user,
                            const std::string& password);
    int CreateView();
};
