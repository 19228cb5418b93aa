// The exchange polling timer: once the link is up, each tick asks for the
// GSM-line list or polls the stored SMS (the poll takes turns with the send
// step while messages wait to go), else downloads the next voice-mail box,
// else runs the SMS send step of every line. The SMS lines' waits count every
// tick, whatever it asks.
#include "pbx/PbxLink.h"
#include "sms/SmsGateway.h"

#include <QTimer>

namespace pbx {
namespace {

constexpr int MorvaPbxType = 5;
constexpr int PolledIntervalMs = 800;
constexpr int PollTimeToLiveMs = 1000;

} // namespace

void PbxLink::PabxSynchronizeTick() {
    // While the link keeps failing nothing is asked nor sent.
    if (PbxLinkErrorCount.load() != 0)
        return;
    QTimer& timer = host_.PollingTimer();
    timer.setInterval(PolledIntervalMs);
    sms::SmsGateway& sms = host_.Sms();
    // A tick that asks something still counts for the SMS waits.
    if (sms.PollStep()) {
        sms.WaitStep();
        return;
    }
    const CallSettings settings = host_.Settings();
    if (settings.useVoiceMailPcti && !VoiceMailBoxes.Idle()) {
        if (settings.pbxType != MorvaPbxType && shared_.LinkState.load() == 1) {
            timer.stop();
            const std::string request = VoiceMailBoxes.GetRequest();
            if (!request.empty())
                WyslijLinie(request, PollTimeToLiveMs);
            timer.start();
        }
        sms.WaitStep();
        return;
    }
    sms.SendStep();
}

} // namespace pbx
