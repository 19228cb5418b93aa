// The GSM-line table: the exchange's GSM lines, asked for one by one.
#pragma once

namespace sms {

class PABX {};

} // namespace sms
