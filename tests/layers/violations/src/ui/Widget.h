// Looking down is fine.
#pragma once
#include "platform/Clock.h"
