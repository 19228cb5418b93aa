// The voice box and the group log-in of a client's own extension: a client's
// "VB" or "GWW" request becomes a command to the exchange, and the
// exchange's "VB" report becomes a notice to the client of the extension.
// Texts here are UTF-8; the link converts at its boundary.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

class Klient;

namespace pbx {

// What the two translators reach of the rest of the program.
class VoiceServiceLink {
  public:
    virtual ~VoiceServiceLink() = default;
    // The connected client of an extension, or null.
    virtual Klient* ClientOf(const std::string& number) = 0;
    // A command on the server's own chain.
    virtual void SendToPbx(const std::string& command) = 0;
    // A notice to one client.
    virtual void SendToClient(Klient& client, const std::string& text) = 0;
};

// Outcomes of a client request; the client is answered "OK" whatever they are.
enum VoiceRequestCode {
    VoiceRequestDone = 0,
    VoiceRequestNoFields = 1,
    VoiceRequestWrongFieldCount = 10,
    VoiceRequestUnknown = 99,
};

class VoiceBox {
  public:
    // What the exchange told of its voice boxes.
    enum Availability : std::uint8_t { NotKnown = 0, Disabled = 1, Present = 2 };
    // The states sent to clients.
    enum State { UNKNOWN = 0, DISABLED = 1, ON = 3, OFF = 4 };

    // `request`: the text after "VB&", without its CR; `requester`: the
    // client that sent it.
    int ExecuteClient2ServerCmd(VoiceServiceLink& link, const Klient* requester, std::string_view request);
    void SendServer2PbxCmdGetState(VoiceServiceLink& link, const std::string& number);
    void SendServer2PbxCmdSetState(VoiceServiceLink& link, const std::string& number, bool on);
    // `record`: from the "VB" keyword on; a parser result (1 to 4).
    int ReceivePbx2ServerCmd(VoiceServiceLink& link, std::string_view record);
    void SendStateToClient(VoiceServiceLink& link, Klient& client, const std::string& number, State state);

    Availability availability() const { return availability_; }

  private:
    Availability availability_ = NotKnown;
};

class GWW {
  public:
    // The group states of the exchange's answer, by index.
    enum GroupState { NIG = 0, LOG = 1, NLO = 2 };

    // `request`: the text after "GWW&", without its CR.
    int ExecuteClient2ServerCmd(VoiceServiceLink& link, const Klient* requester, std::string_view request);
    // `group` empty: the number alone; `state` below 0: no state.
    void SendServer2PbxCmdAbState(VoiceServiceLink& link, const std::string& number,
                                  const std::string& group = std::string(), int state = -1);
    // `record`: from the "GWW" keyword on; a parser result (1 to 4).
    int ReceivePbx2ServerCmd(VoiceServiceLink& link, std::string_view record);
};

} // namespace pbx
