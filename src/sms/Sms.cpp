#include "sms/Sms.h"

// Until messages are sent, the queues are empty.
void SMS::DumpSendQueues() const {
    if (logCallback_)
        (*logCallback_)("Kolejka wysyłki SMS: 0");
}

// Until replies are routed, there are no dynamic routes.
void SMS::DumpDynamicRoutes() const {
    if (logCallback_)
        (*logCallback_)("Lista jest pusta.");
}
