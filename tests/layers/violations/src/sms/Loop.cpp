#include "sms/Loop.h"

#include "admin/Panel.h"
