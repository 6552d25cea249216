// Pictures of the dialog for the README, rendered offscreen from the current code over the
// in-process simulator: no controller; a controller with its version in the title; an update
// under way; an update that succeeded. English and Chinese.
//   gui_screenshots OUTDIR
// The window manager's frame is not part of an offscreen window, so a plain title bar with
// the window's icon and title is drawn above each picture: the title is part of the story.
#include "tests/gui/gui_rig.h"
#include "tests/gui/modal_answerer.h"

#include "tests/support/image_fixture.h"

#include <QApplication>
#include <QDir>
#include <QPainter>
#include <QTest>

#include <cstdio>

namespace {

constexpr int kTitleBar = 28;

QImage Framed(QWidget& window)
{
    const QPixmap client = window.grab();
    QImage image(client.width() + 2, client.height() + kTitleBar + 1, QImage::Format_ARGB32);
    image.fill(QColor(0x5f, 0x63, 0x68));
    QPainter p(&image);
    p.fillRect(QRect(1, 1, client.width(), kTitleBar - 1), QColor(0xe8, 0xea, 0xed));
    window.windowIcon().paint(&p, QRect(8, 6, 16, 16));
    QFont font = QApplication::font();
    font.setPixelSize(13);
    p.setFont(font);
    p.setPen(QColor(0x20, 0x21, 0x24));
    p.drawText(QRect(30, 1, client.width() - 60, kTitleBar - 1), Qt::AlignVCenter | Qt::AlignLeft, window.windowTitle());
    p.drawText(QRect(client.width() - 26, 1, 20, kTitleBar - 1), Qt::AlignCenter, QStringLiteral("×"));
    p.drawPixmap(1, kTitleBar, client);
    return image;
}

bool Save(QWidget& window, const QString& path)
{
    const bool ok = Framed(window).save(path);
    std::printf("%s %s\n", ok ? "wrote" : "FAILED", qPrintable(path));
    return ok;
}

bool Shoot(const QString& dir, const QString& lang, const char* locale)
{
    bool ok = true;
    const QString prefix = dir + QStringLiteral("/dialog-") + lang + QLatin1Char('-');
    {
        GuiRig rig(locale);
        rig.Start();
        ok &= Save(rig.View(), prefix + QStringLiteral("no-controller.png"));
    }
    {
        GuiRig rig(locale);
        rig.Attach(SimFamily::kCommand);
        rig.Start();
        ok &= Save(rig.View(), prefix + QStringLiteral("controller.png"));

        const std::string image = rig.dir.File("fw.dat");
        WriteImage(image, {.version = 123, .size = 4600});
        ModalAnswerer answerer;
        answerer.QueueFile(QString::fromStdString(image));
        bool midway = false;
        // The worker's progress call is applied on this thread: the picture is taken there.
        QObject::connect(rig.Bar(), &QProgressBar::valueChanged, rig.Bar(), [&](int v) {
            if (midway || v < 40) return;
            midway = true;
            ok &= Save(rig.View(), prefix + QStringLiteral("updating.png"));
        });
        QTest::mouseClick(rig.Button(), Qt::LeftButton);
        if (!QTest::qWaitFor([&] { return !rig.Model().UpdateRunning(); }, 60000)) return false;
        rig.Settle();
        ok &= midway && rig.Model().LastOutcome() == UpdateOutcome::kSuccess;
        ok &= Save(rig.View(), prefix + QStringLiteral("success.png"));
    }
    return ok;
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTDIR\n", argv[0]);
        return 2;
    }
    // Absolute: each picture's rig works in a directory of its own.
    const QString dir = QDir(QString::fromLocal8Bit(argv[1])).absolutePath();
    QDir().mkpath(dir);
    const bool ok = Shoot(dir, QStringLiteral("en"), "en_US.UTF-8") && Shoot(dir, QStringLiteral("zh"), "zh_CN.UTF-8");
    return ok ? 0 : 1;
}
