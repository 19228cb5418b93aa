#include "admin/Panel.h"
#include "sms/Loop.h"
