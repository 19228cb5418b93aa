#include "pbx/LinkShared.h"

#include <algorithm>
#include <cstdlib>

namespace pbx {

bool LinkShared::AnswerCommandInFlight() {
    int inFlight = 1;
    if (!CommandInFlight.compare_exchange_strong(inFlight, 2))
        return false;
    LinkThreadWake.Wake();
    return true;
}

void LinkShared::SetCommandInFlightText(const std::string& text) {
    std::lock_guard lock(commandTextMutex_);
    commandText_ = text;
}

std::string LinkShared::CommandInFlightText() const {
    std::lock_guard lock(commandTextMutex_);
    return commandText_;
}

bool LinkShared::LinkOpenFailed(const std::string& reason) {
    std::lock_guard lock(linkFailureMutex_);
    if (linkFailure_ == reason)
        return false;
    linkFailure_ = reason;
    return true;
}

bool LinkShared::LinkOpened() {
    std::lock_guard lock(linkFailureMutex_);
    const bool failedBefore = !linkFailure_.empty();
    linkFailure_.clear();
    return failedBefore;
}

bool LinkShared::LinkOpenFailing() const {
    std::lock_guard lock(linkFailureMutex_);
    return !linkFailure_.empty();
}

const char* PbxName(int pbxType) {
    static const char* const names[] = {"Kelta", "Vosta/Tarneva", "Zulin", "Bexor", "Gavrel", "Morva"};
    return pbxType >= 0 && pbxType <= 5 ? names[pbxType] : "?";
}

LinkTimings LinkTimings::Scaled(int divisor) {
    LinkTimings t;
    for (int* field : {&t.startDelay,
                       &t.retryPause,
                       &t.serialLoginReadTimeout,
                       &t.serialLoopReadTimeout,
                       &t.serialLoopSleep,
                       &t.tcpPassSleep,
                       &t.tcpIdleSleep,
                       &t.tcpReadPoll,
                       &t.tcpConnectStep,
                       &t.tcpOpenFailPause,
                       &t.wakeUpPause,
                       &t.vantrelTcpStepPause,
                       &t.morvaPasswordPause,
                       &t.morvaTcpPromptPause,
                       &t.morvaTcpPasswordStep,
                       &t.morvaTcpCtiPause,
                       &t.morvaTcpCtiAnswerPause,
                       &t.modeRestorePause,
                       &t.resetPause,
                       &t.linkCheckCrPause,
                       &t.linkCheckAtPause,
                       &t.tcpLinkCheckPause})
        *field = std::max(1, *field / divisor);
    return t;
}

LinkEnvironment& linkEnvironment() {
    static LinkEnvironment environment;
    return environment;
}

std::string SerialDevicePath(int comNumber) {
    const std::string variable = "HALVEX_COM" + std::to_string(comNumber);
    if (const char* path = std::getenv(variable.c_str()); path && *path)
        return path;
    return "/dev/ttyS" + std::to_string(comNumber - 1);
}

} // namespace pbx
