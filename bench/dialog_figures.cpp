// Figures for the dialog with no controller attached: the time from the start of main() to
// the window's first paint, the peak resident memory, and how often the process wakes up
// while it sits idle (a well-behaved tool sleeps until an event). It prints figures and
// fails on none of them.
//   build/bench/korvant-dialog-figures            (offscreen unless a display is set)
// Runs the real window over the real Linux HID backend, pointed at an empty device tree so
// the device watch is running as it would on a desktop.
#include "app/qt/app_icon.h"
#include "app/qt/update_window.h"
#include "hid/linux/hidraw_platform.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

constexpr int kIdleSeconds = 5;

long StatusField(const std::string& path, const std::string& key)
{
    std::ifstream f(path);
    std::string line;
    while (std::getline(f, line))
        if (line.rfind(key, 0) == 0) return std::strtol(line.c_str() + key.size(), nullptr, 10);
    return -1;
}

// Context switches of every thread of this process: each one is a wake-up.
long ContextSwitches()
{
    long total = 0;
    DIR* d = ::opendir("/proc/self/task");
    if (!d) return -1;
    while (dirent* e = ::readdir(d)) {
        if (e->d_name[0] == '.') continue;
        const std::string status = std::string("/proc/self/task/") + e->d_name + "/status";
        total += StatusField(status, "voluntary_ctxt_switches:") + StatusField(status, "nonvoluntary_ctxt_switches:");
    }
    ::closedir(d);
    return total;
}

class FirstPaint : public QObject {
public:
    qint64 ms = -1;
    QElapsedTimer* clock = nullptr;
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Paint && ms < 0) ms = clock->elapsed();
        return QObject::eventFilter(watched, event);
    }
};

} // namespace

int main(int argc, char** argv)
{
    QElapsedTimer sinceMain;
    sinceMain.start();
    if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY")) ::setenv("QT_QPA_PLATFORM", "offscreen", 0);

    const std::filesystem::path root = std::filesystem::temp_directory_path() / "korvant-dialog-figures";
    std::filesystem::create_directories(root / "dev");
    std::filesystem::create_directories(root / "sys/class/hidraw");

    QApplication app(argc, argv);
    QApplication::setWindowIcon(AppIcon());
    HidrawPlatform platform(root.string());
    UpdateWindow window(platform);
    FirstPaint paint;
    paint.clock = &sinceMain;
    window.view.installEventFilter(&paint);
    window.model.OnInitDialog();
    window.view.show();

    long switchesBefore = -1;
    // Let start-up settle, then count wake-ups over the idle stretch; the two timers that
    // bracket it are the only wake-ups the measurement itself causes.
    QTimer::singleShot(1000, [&] {
        switchesBefore = ContextSwitches();
        QTimer::singleShot(kIdleSeconds * 1000, [&] {
            const long switches = ContextSwitches() - switchesBefore;
            std::printf("first paint:          %lld ms after main() began\n", static_cast<long long>(paint.ms));
            std::printf("peak RSS:             %.1f MB\n", double(StatusField("/proc/self/status", "VmHWM:")) / 1024);
            std::printf("idle wake-ups:        %ld in %d s (%.1f/s; the measurement's own timer accounts for 1-2)\n",
                        switches, kIdleSeconds, double(switches) / kIdleSeconds);
            window.view.done(0);
        });
    });
    window.view.exec();
    std::filesystem::remove_all(root);
    return 0;
}
