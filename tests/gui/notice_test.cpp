// Device notices as the window receives them: raised by the simulated system, handed to the
// window's notice sink by the HID link's watcher, and acted on only on the GUI thread.
#include "tests/gui/gui_rig.h"

#include "app/texts.h"

#include <QTest>

#include <thread>

namespace {

const QString kTitle = QStringLiteral("Korvant Update v2.00");
const QString kVersionTitle = QStringLiteral("Korvant Update v2.00 (Fw v1.05 r3)");
const QString kUnchanged = QStringLiteral("(unchanged)");
const QString kMarker = QStringLiteral("title before the notice");

enum class Start { kNone, kController };
enum class Happening {
    kControllerArrives,
    kControllerRemoved,
    kOtherArrives,
    kOtherRemoved,
    kNodesChanged,
    kNodesChangedHighBits,
    kOtherEvent,
};

} // namespace

Q_DECLARE_METATYPE(Start)
Q_DECLARE_METATYPE(Happening)

class NoticeTest : public QObject {
    Q_OBJECT

private slots:
    void noticeTable_data()
    {
        QTest::addColumn<Start>("start");
        QTest::addColumn<Happening>("happening");
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<QString>("title");
        QTest::addColumn<bool>("versionQuery");
        QTest::addColumn<bool>("removalLine");

        QTest::newRow("controller plugged in") << Start::kNone << Happening::kControllerArrives << true
                                               << kVersionTitle << true << false;
        QTest::newRow("controller unplugged") << Start::kController << Happening::kControllerRemoved << false
                                              << kTitle << false << true;
        QTest::newRow("other device plugged in beside the controller")
            << Start::kController << Happening::kOtherArrives << true << kVersionTitle << true << false;
        QTest::newRow("other device plugged in, no controller")
            << Start::kNone << Happening::kOtherArrives << false << kUnchanged << false << false;
        QTest::newRow("other device unplugged beside the controller")
            << Start::kController << Happening::kOtherRemoved << true << kUnchanged << false << false;
        QTest::newRow("device nodes changed, no controller")
            << Start::kNone << Happening::kNodesChanged << false << kTitle << false << false;
        QTest::newRow("device nodes changed beside the controller")
            << Start::kController << Happening::kNodesChanged << true << kUnchanged << false << false;
        // The event code counts by its low 16 bits.
        QTest::newRow("device nodes changed, high bits set")
            << Start::kNone << Happening::kNodesChangedHighBits << false << kTitle << false << false;
        QTest::newRow("an event the dialog does not handle")
            << Start::kController << Happening::kOtherEvent << false << kUnchanged << false << false;
    }

    void noticeTable()
    {
        QFETCH(Start, start);
        QFETCH(Happening, happening);
        QFETCH(bool, enabled);
        QFETCH(QString, title);
        QFETCH(bool, versionQuery);
        QFETCH(bool, removalLine);

        GuiRig rig;
        std::string controller;
        std::string other;
        if (start == Start::kController) controller = rig.Attach(SimFamily::kCommand);
        if (happening == Happening::kOtherRemoved) other = rig.platform.AttachOther(0x046D, 0xC077);
        rig.Start();
        // Marks that tell a handled notice from one that changed nothing.
        rig.View().setWindowTitle(kMarker);
        if (happening == Happening::kOtherEvent) rig.Button()->setEnabled(false);
        const uint64_t reportsBefore = controller.empty() ? 0 : rig.platform.WriteCount(controller);
        rig.debug.Clear();

        switch (happening) {
        case Happening::kControllerArrives: controller = rig.Attach(SimFamily::kCommand); break;
        case Happening::kControllerRemoved: rig.platform.Unplug(controller); break;
        case Happening::kOtherArrives: rig.platform.AttachOther(0x046D, 0xC077); break;
        case Happening::kOtherRemoved: rig.platform.Unplug(other); break;
        case Happening::kNodesChanged: rig.platform.EmitNotice(DeviceNotice::kNodesChanged); break;
        case Happening::kNodesChangedHighBits: rig.View().NoticeSink().PostDeviceChange(0x00010007); break;
        case Happening::kOtherEvent: rig.View().NoticeSink().PostDeviceChange(0x8001); break;
        }
        // Queued, not handled on the spot.
        QCOMPARE(rig.Title(), kMarker);
        rig.Settle();

        QCOMPARE(rig.Button()->isEnabled(), enabled);
        QCOMPARE(rig.Title(), title == kUnchanged ? kMarker : title);
        if (!controller.empty() && happening != Happening::kControllerRemoved)
            QCOMPARE(rig.platform.WriteCount(controller) > reportsBefore, versionQuery);
        QCOMPARE(rig.debug.Count(kTitle.toStdString()), removalLine ? 1 : 0);
    }

    // The real watcher posts from a thread of its own.
    void noticesFromAnotherThreadWaitForTheGuiThread()
    {
        GuiRig rig;
        rig.Start();
        rig.platform.SetAutoNotices(false);
        const std::string controller = rig.Attach(SimFamily::kCommand);
        std::thread watcher([&] { rig.platform.EmitNotice(DeviceNotice::kArrival); });
        watcher.join();
        QVERIFY(!rig.Button()->isEnabled());
        QCOMPARE(rig.platform.WriteCount(controller), uint64_t(0));
        rig.Settle();
        QVERIFY(rig.Button()->isEnabled());
        QCOMPARE(rig.Title(), kVersionTitle);
    }
};

QTEST_MAIN(NoticeTest)
#include "notice_test.moc"
