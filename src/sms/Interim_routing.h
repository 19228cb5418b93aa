// Stand-ins for engine operations another part of the gateway provides;
// replaced by the real ones when merged.
#pragma once

#include "sms/Sms.h"

#include <cstdint>

// Replaced by the real SMS::SetDynamicRouting when merged: switching off
// forgets every route; the validity is set either way.
void SetDynamicRoutingInterim(SMS& engine, std::uint8_t on, std::int32_t seconds);
