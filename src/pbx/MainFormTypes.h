// Types of the exchange link and call handling that the main window holds.
#pragma once

#include "pbx/Bufor.h"
#include "pbx/LinkShared.h"
#include "pbx/LinkThread.h"

#include <QDateTime>
#include <cstdint>
#include <memory>

// One record of the active-call table.
struct ActiveCall {
    char CallId[4] = {0}; // first byte 0: free
    char NumberB[128] = {0};
    QDateTime Created;
    QDateTime End;
    std::uint8_t TransferActive = 0;
};

// One slot of the CRM console socket.
struct CrmSlot {
    int Socket = -1;
    int Stage = 0;
};

// One running link thread with the object through which it reaches the main
// window; the thread is joined before its host goes.
struct PbxLinkRun {
    std::uint64_t generation = 0;
    int pbxPort = 0;
    std::unique_ptr<pbx::LinkThreadHost> host;
    std::unique_ptr<pbx::TWatek> thread;
    ~PbxLinkRun() { thread.reset(); }
};
