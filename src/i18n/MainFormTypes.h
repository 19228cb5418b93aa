// Types of the localisation engine that the main window holds.
#pragma once

#include "i18n/TextLookup.h"
