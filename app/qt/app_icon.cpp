#include "app/qt/app_icon.h"

QIcon AppIcon()
{
    // The drawing scales to any size where Qt can read SVG; the 32-pixel rendering of it
    // is there for when it cannot (no SVG icon engine installed).
    QIcon icon(QStringLiteral(":/icons/korvant-update.svg"));
    icon.addFile(QStringLiteral(":/icons/korvant-update.png"), QSize(32, 32));
    return icon;
}
