#include "sms/Sms.h"
