// Types of the SMS gateway that the main window holds.
#pragma once

#include "sms/Sms.h"
