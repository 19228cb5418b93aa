// The program's own icon, for its windows and the tray.
#pragma once

#include <QIcon>

namespace shell {

// A telephone handset over the lines of an exchange, drawn at the sizes
// desktops ask for, so that no size is a blurred scaling of another.
QIcon ProgramIcon();

} // namespace shell
