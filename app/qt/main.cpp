// korvant-update: the dialog. Like the original, it has no settings and no command line of
// its own (Qt's options, such as -platform, still apply); KORVANT_HID_ROOT points the HID
// backend at a simulated device tree (korvant-sim) instead of the system's.
#include "app/qt/app_icon.h"
#include "app/qt/update_window.h"
#include "hid/hid_platform.h"

#include <QApplication>

#include <memory>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("korvant-update"));
    QApplication::setWindowIcon(AppIcon());

    const std::unique_ptr<IHidPlatform> platform = CreateSystemHidPlatform();
    UpdateWindow window(*platform);
    // The start-up presence check and version query run before the window first appears.
    window.model.OnInitDialog();
    window.view.exec();
    return 0;
}
