// A lower floor reaching up.
#pragma once
#include "ui/Widget.h"
