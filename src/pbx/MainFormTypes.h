// Types of the exchange link and call handling that the main window holds.
#pragma once

#include <QDateTime>
#include <cstdint>

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
