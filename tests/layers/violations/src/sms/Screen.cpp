#include "ui/Widget.h"
