// Replaced by the real one when merged: the call table's lookup as the call
// control needs it.
#include "pbx/CallTable.h"

namespace pbx {

ActiveCall* CallTable::FindCallByNumber(const std::string& number) {
    for (ActiveCall& call : ActiveCalls) {
        if (call.inUse() && (call.NumberA == number || call.NumberB == number))
            return &call;
    }
    return nullptr;
}

} // namespace pbx
