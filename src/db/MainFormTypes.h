// Types of the database access that the main window holds.
#pragma once

#include "db/MainDatabase.h"
