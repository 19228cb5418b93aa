#include "sms/Interim_routing.h"

// Replaced by the real SMS::SetDynamicRouting when merged.
void SetDynamicRoutingInterim(SMS& engine, std::uint8_t on, std::int32_t seconds) {
    if (!on)
        engine.DynamicRouter.Clear();
    engine.bDynamicRouting = on;
    engine.DynamicRouter.SetValidity(seconds);
}
