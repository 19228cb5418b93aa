// The exchange's SMS and GSM-line records, handed to the SMS gateway.
#include "pbx/PbxLink.h"
#include "sms/SmsGateway.h"

namespace pbx {

void PbxLink::smsRecord(std::string_view record) {
    host_.Sms().HandleSmsRecord(std::string(record));
}

void PbxLink::smsCommandTaken(const std::string& command) {
    host_.Sms().AcknowledgementTaken(command);
}

void PbxLink::gsmRecord(std::string_view record) {
    host_.GsmLineRecord(std::string(record));
}

} // namespace pbx
