// The update button through the window: the click, the family's worker, whole updates with
// the file dialog and the confirmation answered as a user would, failures, what notices and
// clicks do while an update runs, and closing the window during one.
#include "tests/gui/gui_rig.h"
#include "tests/gui/modal_answerer.h"

#include "tests/support/image_fixture.h"

#include <QFileInfo>
#include <QSignalSpy>
#include <QTest>

Q_DECLARE_METATYPE(SimFamily)

namespace {

constexpr int kHangGuardMs = 30000;
const QString kTitle = QStringLiteral("Korvant Update v2.00");

std::string Joined(const std::vector<std::string>& lines)
{
    std::string all;
    for (const std::string& line : lines) all += line + "\n";
    return all;
}

QString Canonical(const QString& path) { return QFileInfo(path).canonicalFilePath(); }

// Clicks the way a user does, and waits until the update has ended and been reaped.
void ClickAndWaitForEnd(GuiRig& rig)
{
    QTest::mouseClick(rig.Button(), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!rig.Model().UpdateRunning(), kHangGuardMs);
    rig.Settle();
}

} // namespace

class UpdateTest : public QObject {
    Q_OBJECT

private slots:
    void clickWhenTheControllerCannotBeOpened()
    {
        GuiRig rig;
        const std::string controller = rig.Attach(SimFamily::kCommand);
        rig.Start();
        rig.View().DoneLabel().ShowWindow(true);
        rig.View().Progress().SetPos(37);
        rig.platform.DenyAccess(controller);
        ModalAnswerer answerer;

        QTest::mouseClick(rig.Button(), Qt::LeftButton);
        rig.Settle();
        QVERIFY(rig.Done()->isHidden());
        QVERIFY(!rig.Model().UpdateRunning());
        QVERIFY(rig.Button()->isEnabled());
        QCOMPARE(rig.Bar()->value(), 37);
        QVERIFY(answerer.Seen().isEmpty());
    }

    // The framed worker greets the controller before it asks for a file; the host-driven
    // worker asks for the file first. What the controller has heard when the file dialog
    // comes up tells which worker the click started.
    void clickStartsTheFamilysWorker_data()
    {
        QTest::addColumn<SimFamily>("family");
        QTest::addColumn<bool>("greetedBeforeTheFile");
        QTest::newRow("framed") << SimFamily::kFramed << true;
        QTest::newRow("command reports") << SimFamily::kCommand << false;
    }

    void clickStartsTheFamilysWorker()
    {
        QFETCH(SimFamily, family);
        QFETCH(bool, greetedBeforeTheFile);
        GuiRig rig;
        const std::string controller = rig.Attach(family);
        rig.Start();
        const uint64_t afterStartUp = rig.platform.WriteCount(controller);
        uint64_t atFileDialog = 0;
        ModalAnswerer answerer;
        answerer.SetHook([&](QWidget*, int) {
            atFileDialog = rig.platform.WriteCount(controller);
            return ModalAnswerer::Verdict::kUseScript;  // cancels
        });

        QTest::mouseClick(rig.Button(), Qt::LeftButton);
        QVERIFY(!rig.Button()->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(!rig.Model().UpdateRunning(), kHangGuardMs);
        rig.Settle();

        QCOMPARE(answerer.Seen().size(), 1);
        QVERIFY(answerer.Seen().front().file_dialog);
        QCOMPARE(atFileDialog > afterStartUp, greetedBeforeTheFile);
        QCOMPARE(rig.Model().LastOutcome(), UpdateOutcome::kCancelled);
        QVERIFY(rig.Button()->isEnabled());
        QVERIFY(rig.Done()->isHidden());
    }

    void wholeUpdate_data()
    {
        QTest::addColumn<SimFamily>("family");
        QTest::addColumn<QString>("lang");
        QTest::addColumn<QString>("filter");
        QTest::addColumn<QString>("confirmation");
        QTest::addColumn<QString>("success");
        const QString en = QStringLiteral("en_US.UTF-8"), zh = QStringLiteral("zh_CN.UTF-8");
        const QString filterEn = QStringLiteral("File type(*.dat)");
        const QString filterZh = QStringLiteral(u"文件类型中显示的内容(*.dat)");
        QTest::newRow("framed") << SimFamily::kFramed << en << filterEn << QStringLiteral("Fw v1.2 r4\n")
                                << QStringLiteral("Firmware upgraded!");
        QTest::newRow("command reports") << SimFamily::kCommand << en << filterEn << QStringLiteral("Fw v1.2 r4\n")
                                         << QStringLiteral("Firmware upgraded!");
        QTest::newRow("framed, Chinese") << SimFamily::kFramed << zh << filterZh
                                         << QStringLiteral(u"固件版本 v1.2 r4\n") << QStringLiteral(u"升级成功。");
        QTest::newRow("command reports, Chinese") << SimFamily::kCommand << zh << filterZh
                                                  << QStringLiteral(u"固件版本 v1.2 r4\n") << QStringLiteral(u"升级成功。");
    }

    void wholeUpdate()
    {
        QFETCH(SimFamily, family);
        QFETCH(QString, lang);
        QFETCH(QString, filter);
        QFETCH(QString, confirmation);
        QFETCH(QString, success);

        GuiRig rig(qPrintable(lang));
        const std::string controller = rig.Attach(family);
        rig.Start();
        const std::string image = rig.dir.File("fw.dat");
        const std::vector<uint8_t> payload = WriteImage(image, {.version = 123, .size = 301});
        QList<int> positions;
        connect(rig.Bar(), &QProgressBar::valueChanged, this, [&](int v) { positions << v; });
        rig.View().Progress().SetPos(55);
        ModalAnswerer answerer;
        answerer.QueueFile(QString::fromStdString(image));

        ClickAndWaitForEnd(rig);

        const QList<SeenModal>& seen = answerer.Seen();
        QCOMPARE(seen.size(), 3);
        QVERIFY(seen[0].file_dialog);
        QCOMPARE(seen[0].name_filters, QStringList{filter});
        QCOMPARE(Canonical(seen[0].directory), Canonical(QString::fromStdString(rig.dir.Path().string())));
        QCOMPARE(seen[1].text, confirmation);
        QCOMPARE(seen[1].buttons, QMessageBox::Ok | QMessageBox::Cancel);
        QCOMPARE(seen[2].text.trimmed(), success);
        QCOMPARE(seen[2].buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        for (const SeenModal& s : seen) {
            QCOMPARE(s.owner, &rig.View());
            QVERIFY(!s.has_icon);
            if (!s.file_dialog) QCOMPARE(s.title, kTitle);
        }

        SimController& sim = *rig.platform.Controller(controller);
        QVERIFY(sim.UpdateCompleted());
        QCOMPARE(sim.ReceivedImage(), payload);
        QVERIFY2(sim.ProtocolErrors().empty(), Joined(sim.ProtocolErrors()).c_str());
        QCOMPARE(rig.Model().LastOutcome(), UpdateOutcome::kSuccess);
        QVERIFY(rig.Done()->isVisible());
        QCOMPARE(rig.Done()->text(), success);
        QCOMPARE(rig.Bar()->value(), 0);
        QVERIFY(rig.Button()->isEnabled());
        // The click zeroes the bar, the worker moves it up to full, the end puts it back.
        QVERIFY(positions.size() >= 4);
        QCOMPARE(positions.first(), 55);
        QCOMPARE(positions[1], 0);
        QCOMPARE(positions[positions.size() - 2], 100);
        QCOMPARE(positions.last(), 0);
        QVERIFY(std::is_sorted(positions.begin() + 1, positions.end() - 1));

        // The next click hides the success label again, even when it goes no further.
        answerer.QueueFile(std::nullopt);
        ClickAndWaitForEnd(rig);
        QVERIFY(rig.Done()->isHidden());
    }

    void failureMessage_data()
    {
        QTest::addColumn<SimFamily>("family");
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("advice");
        QTest::addColumn<bool>("enabledAfter");
        const QString gone = QStringLiteral("The controller was disconnected during the update.");
        QTest::newRow("framed, failure report") << SimFamily::kFramed << QStringLiteral("fail-at=3") << QString() << true;
        QTest::newRow("framed, unplugged") << SimFamily::kFramed << QStringLiteral("unplug-at=3") << gone << false;
        QTest::newRow("command reports, unplugged") << SimFamily::kCommand << QStringLiteral("unplug-at=3") << gone << false;
        QTest::newRow("command reports, silent")
            << SimFamily::kCommand << QStringLiteral("erase-busy=forever")
            << QStringLiteral("The controller stopped answering during the update.") << true;
    }

    void failureMessage()
    {
        QFETCH(SimFamily, family);
        QFETCH(QString, fault);
        QFETCH(QString, advice);
        QFETCH(bool, enabledAfter);

        GuiRig rig;
        SimControllerOptions options;
        std::string error;
        QVERIFY2(ApplySimFault(fault.toStdString(), options.faults, error), error.c_str());
        rig.Attach(family, options);
        rig.Start();
        const std::string image = rig.dir.File("fw.dat");
        WriteImage(image, {.size = 500});
        ModalAnswerer answerer;
        answerer.QueueFile(QString::fromStdString(image));

        ClickAndWaitForEnd(rig);

        const QStringList boxes = answerer.BoxTexts();
        QCOMPARE(boxes.size(), 2);  // the confirmation, then the failure
        QVERIFY2(boxes[1].startsWith(QStringLiteral("Firmware update failure")), qPrintable(boxes[1]));
        QVERIFY2(boxes[1].contains(advice), qPrintable(boxes[1]));
        QCOMPARE(answerer.Seen()[2].title, kTitle);
        QCOMPARE(rig.Model().LastOutcome(), UpdateOutcome::kFailed);
        QVERIFY(rig.Done()->isHidden());
        QCOMPARE(rig.Button()->isEnabled(), enabledAfter);
    }

    // While the worker owns the link (here: waiting for the user to confirm), a device
    // notice may not send the dialog's thread to the controller, and a click may not start
    // a second worker, even on a button that looks enabled. The notice counts once the
    // update has ended.
    void noticeAndSecondClickDuringAnUpdate_data()
    {
        QTest::addColumn<SimFamily>("family");
        QTest::addColumn<QString>("titleAfter");
        // The version query that the arrival asked for, made once the update has ended.
        QTest::newRow("framed") << SimFamily::kFramed << kTitle + QStringLiteral("(GamePad V1.23)");
        QTest::newRow("command reports") << SimFamily::kCommand << kTitle + QStringLiteral(" (Fw v1.23 r3)");
    }

    void noticeAndSecondClickDuringAnUpdate()
    {
        QFETCH(SimFamily, family);
        QFETCH(QString, titleAfter);
        GuiRig rig;
        const std::string controller = rig.Attach(family);
        rig.Start();
        const std::string image = rig.dir.File("fw.dat");
        WriteImage(image, {.version = 123, .size = 200, .revision = 4});

        int opensAtConfirmation = -1;
        uint64_t reportsAtConfirmation = 0;
        bool quietDuringTheUpdate = false;
        ModalAnswerer answerer;
        answerer.QueueFile(QString::fromStdString(image));
        answerer.SetHook([&](QWidget* w, int index) {
            if (index != 1) return ModalAnswerer::Verdict::kUseScript;
            if (opensAtConfirmation < 0) {
                opensAtConfirmation = rig.platform.OpenCount();
                reportsAtConfirmation = rig.platform.WriteCount(controller);
                rig.platform.AttachOther(0x046D, 0xC077);
                rig.platform.EmitNotice(DeviceNotice::kNodesChanged);
                rig.Button()->setEnabled(true);  // as the framed flow does after the last piece
                emit rig.Button()->clicked();
                return ModalAnswerer::Verdict::kLater;  // let the notices be handled first
            }
            quietDuringTheUpdate = rig.platform.OpenCount() == opensAtConfirmation &&
                                   rig.platform.WriteCount(controller) == reportsAtConfirmation &&
                                   rig.Model().UpdateRunning() && w->isVisible();
            return ModalAnswerer::Verdict::kUseScript;
        });

        ClickAndWaitForEnd(rig);
        QTRY_COMPARE_WITH_TIMEOUT(rig.Title(), titleAfter, kHangGuardMs);

        QVERIFY(quietDuringTheUpdate);
        SimController& sim = *rig.platform.Controller(controller);
        QVERIFY(sim.UpdateCompleted());
        QVERIFY2(sim.ProtocolErrors().empty(), Joined(sim.ProtocolErrors()).c_str());
        QCOMPARE(answerer.BoxTexts().size(), 2);  // the confirmation and one success box
        QVERIFY(rig.Button()->isEnabled());
    }

    // Closing is refused with an explanation while an update runs (the worker is waiting on
    // the GUI thread meanwhile: no deadlock), and allowed once it has ended.
    void closingDuringAnUpdate_data()
    {
        QTest::addColumn<bool>("escape");
        QTest::newRow("close box") << false;
        QTest::newRow("Esc") << true;
    }

    void closingDuringAnUpdate()
    {
        QFETCH(bool, escape);
        GuiRig rig;
        rig.Attach(SimFamily::kFramed);
        rig.Start();
        const std::string image = rig.dir.File("fw.dat");
        WriteImage(image, {.size = 100});
        bool closeTried = false;
        bool stillOpenAfterRefusal = false;
        ModalAnswerer answerer;
        answerer.QueueFile(QString::fromStdString(image));
        answerer.SetHook([&](QWidget*, int index) {
            if (index != 1) return ModalAnswerer::Verdict::kUseScript;
            if (!closeTried) {
                closeTried = true;
                QTimer::singleShot(0, &rig.View(), [&] {
                    if (escape)
                        rig.View().reject();
                    else
                        rig.View().close();
                    stillOpenAfterRefusal = rig.View().isVisible();
                });
                return ModalAnswerer::Verdict::kLater;
            }
            return stillOpenAfterRefusal ? ModalAnswerer::Verdict::kUseScript : ModalAnswerer::Verdict::kLater;
        });

        ClickAndWaitForEnd(rig);

        QVERIFY(stillOpenAfterRefusal);
        const QStringList boxes = answerer.BoxTexts();
        QCOMPARE(boxes.size(), 3);
        QCOMPARE(boxes[1], QStringLiteral("An update is running. Closing now could leave the controller without "
                                          "working firmware; the window can be closed when the update has ended."));
        QCOMPARE(boxes[2].trimmed(), QStringLiteral("Firmware upgraded!"));
        QVERIFY(rig.Done()->isVisible());

        QVERIFY(rig.View().close());
        QVERIFY(!rig.View().isVisible());
        QCOMPARE(answerer.BoxTexts().size(), 3);
    }

    // The window torn down right after a click: the worker's first call still finds the
    // GUI thread answering, and the model is joined only after the worker has ended.
    void teardownRightAfterAClick()
    {
        GuiRig rig;
        rig.Attach(SimFamily::kCommand);
        rig.Start();
        ModalAnswerer answerer;  // cancels the file dialog
        QTest::mouseClick(rig.Button(), Qt::LeftButton);
        QVERIFY(rig.Model().UpdateRunning());
        rig.window.reset();
        QCOMPARE(answerer.Seen().size(), 1);
    }
};

QTEST_MAIN(UpdateTest)
#include "update_test.moc"
