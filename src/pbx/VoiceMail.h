// The mirror of the exchange's voice-mail boxes, one box per telephone
// number: which boxes wait for download, the download under way one entry at
// a time, and the exchange's change reports. It holds no Qt and sends
// nothing itself: the polling timer asks it for the next command and the
// dispatcher turns its action codes into client notices.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

namespace pbx {

// One message of a box.
struct VMmessage {
    std::int32_t iId = 0;
    std::string date;
    std::string time;
    std::string number;
    std::int32_t atr = 0;
    std::int32_t recording = 0;
};

class VoiceMail {
  public:
    // Actions of ParsePbxLine for the dispatcher.
    enum Action {
        NoAction = 0,
        OutOfStep = 1, // the box has been queued again
        ListComplete = 2,
        MessageAdded = 3,
        MessageUpdated = 4,
        MessageDeleted = 5,
    };
    // An unanswered "VM GET" is asked again every this many ticks, and the
    // box is given up at twice as many.
    static constexpr std::uint32_t RetryTicks = 20;
    static constexpr std::uint32_t GiveUpTicks = 40;

    // Queues the box for download (once), empties its list in the mirror and
    // restarts the retry count. A box that could carry a separator or a line
    // end into the exchange command is refused (false).
    bool EnqueueBox(const std::string& box);
    // The next "VM GET" command (with its CR) for one polling tick, or empty.
    std::string GetRequest();
    // One "VM ..." record from the exchange: 1 handled, 2 not mine, 3 wrong
    // number of tokens, 4 bad value; `action`, `box` and `message` say what
    // the clients are to be told.
    int ParsePbxLine(const std::string& record, int& action, std::string& box, VMmessage& message);

    // Nothing is being downloaded nor waits for it.
    bool Idle() const { return currentBox.empty() && fetchQueue.empty(); }
    // Empties the mirror (the queue and a download under way are kept).
    void Clear() { boxes.clear(); }

    std::deque<std::string> fetchQueue;
    std::int32_t expectedIndex = -1;
    std::uint32_t retryCounter = 0;
    std::uint8_t waiting = 0;
    std::map<std::string, std::vector<VMmessage>> boxes;
    std::string currentBox;

  private:
    int parsePut(const std::vector<std::string>& tokens, int& action, std::string& box);
    int parseAdd(const std::vector<std::string>& tokens, int& action, std::string& box, VMmessage& message);
    int parseDel(const std::vector<std::string>& tokens, int& action, std::string& box, VMmessage& message);
    int parseUpd(const std::vector<std::string>& tokens, int& action, std::string& box, VMmessage& message);
};

} // namespace pbx
