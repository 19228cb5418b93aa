// Types of the localisation engine that the main window holds.
#pragma once

#include "i18n/LangComponent.h"
#include "i18n/LangDispatcher.h"
