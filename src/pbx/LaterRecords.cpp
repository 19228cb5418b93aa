// Records whose handling comes with later services (voice boxes, groups,
// SMS), and the GSM lines, handed to the SMS gateway: they are recognised in their place among the
// keywords, so that nothing after them in the line is taken for another
// record, and are dropped until their service is there.
#include "pbx/PbxLink.h"
#include "sms/SmsGateway.h"

namespace pbx {

void PbxLink::voiceBoxRecord(std::string_view) {}

void PbxLink::groupRecord(std::string_view) {}

void PbxLink::smsRecord(std::string_view record) {
    host_.Sms().HandleSmsRecord(std::string(record));
}

void PbxLink::gsmRecord(std::string_view record) {
    host_.GsmLineRecord(std::string(record));
}

} // namespace pbx
