// Dynamic reply routing: which user last wrote to a number through a line.
#pragma once

namespace sms {

class SmsDynamicRouter {};

} // namespace sms
