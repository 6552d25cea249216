#pragma once
// The program's icon, for its windows and the taskbar. The window manager draws minimised
// windows and the icon dragged with them from it, so the window needs nothing of its own
// for those.
#include <QIcon>

QIcon AppIcon();
