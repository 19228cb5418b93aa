// The server's picture of the calls in progress and of the extensions' hook
// states, as the exchange's call events draw it. Numbers are kept whole as
// the exchange sent them (within the record limits the handlers check).
//
// Holds: ActiveCall, ActiveCalls, ActiveCallCount, PhoneState, StanTel,
// FindOrCreateCall, FindCallByNumber, StanTelAdd, StanTelRemove.
#pragma once

#include <QDateTime>
#include <cstdint>
#include <string>

namespace pbx {

// One call known to the server.
struct ActiveCall {
    std::string CallId; // the exchange's two-character identifier; empty: free
    std::string NumberA;
    std::string NumberB;
    std::string NumberTransfer;
    QDateTime Created;
    QDateTime Start;              // null: not talking yet
    QDateTime End;                // null: the call is live
    std::uint64_t LastRecord = 0; // the table's record count at the call's latest record
    std::int32_t PartyCount = 0;
    std::uint8_t TransferActive = 0;
    std::uint8_t TransferFromA = 0;

    bool inUse() const { return !CallId.empty(); }
};

// One row of the phone-state table.
struct PhoneState {
    std::string number;
    std::int32_t state = 0; // 0 free, 1 busy (off-hook), 2 ringing
};

enum class CallLookup { Find = 0, OffHook = 1, NewExternal = 2 };

class CallTable {
  public:
    static constexpr int ActiveCallTableSize = 128;
    static constexpr int PhoneStateRows = 1024;

    // The first record in use (slot order) with the number as A or B.
    ActiveCall* FindCallByNumber(const std::string& number);
    // The record of call `id`: found, or taken anew for an off-hook or a new
    // external call; records of other calls with `number` as a party go.
    // Null when there is none. A full table gives up the call that has gone
    // longest without a record, so that a new call always finds a slot.
    ActiveCall* FindOrCreateCall(const std::string& id, CallLookup mode, const std::string& number,
                                 int pbxType, const QDateTime& now);
    // Frees the record's slot (its other fields stay as they are).
    void Release(ActiveCall& call);
    // Sets (or adds) the number's phone state: 1 busy, 2 ringing.
    void StanTelAdd(const std::string& number, std::int32_t state);
    // Removes the number's rows; the later rows move up.
    void StanTelRemove(const std::string& number);
    // The used row of the number, or null.
    PhoneState* FindPhoneState(const std::string& number);

    ActiveCall ActiveCalls[ActiveCallTableSize];
    int ActiveCallCount = 0;
    // Records that found or took a call so far: orders the calls by their
    // latest record, even within one tick of the clock.
    std::uint64_t RecordsSeen = 0;
    // Used rows stay contiguous from row 0: the first free row ends them.
    PhoneState StanTel[PhoneStateRows];

  private:
    // A free slot, or the slot of the call silent the longest, given up.
    ActiveCall& freeSlot();
};

} // namespace pbx
