// Telephone numbers of SMS: the national form for rows, rules and route keys,
// the international form and its address type for PDUs.
#pragma once

namespace sms {

class SmsNumberProcessor {};

} // namespace sms
