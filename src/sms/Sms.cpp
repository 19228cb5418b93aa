#include "sms/Sms.h"

// Until messages are sent, the queues are empty.
void SMS::DumpSendQueues() const {
    if (LogCallback_)
        (*LogCallback_)("Kolejka wysyłki SMS: 0");
}

// Until replies are routed, there are no dynamic routes.
void SMS::DumpDynamicRoutes() const {
    if (LogCallback_)
        (*LogCallback_)("Lista jest pusta.");
}
