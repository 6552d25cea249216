// The window itself: its template geometry, what start-up leaves on it, its texts in both
// languages, its icon, and the dialog-view port as the flows use it from either thread.
#include "tests/gui/gui_rig.h"
#include "tests/gui/modal_answerer.h"

#include "app/qt/app_icon.h"
#include "app/texts.h"

#include <QFileDialog>
#include <QFontDatabase>
#include <QImageReader>
#include <QSignalSpy>
#include <QTest>

#include <QFileInfo>

#include <atomic>
#include <fstream>
#include <thread>

namespace {

const QString kTitle = QStringLiteral("Korvant Update v2.00");
const QString kInstructionsEn = QStringLiteral(
    "1. Hold down pair button and connect to PC via USB cable.\n\n"
    "2. Click \"USB Update\" button and select firmware file.");

enum class Attached { kNone, kFramed, kCommand };

} // namespace

Q_DECLARE_METATYPE(Attached)

class WindowTest : public QObject {
    Q_OBJECT

private slots:
    void geometryFollowsTheTemplate()
    {
        GuiRig rig;
        rig.Start();
        QCOMPARE(rig.View().size(), QSize(366, 207));
        QCOMPARE(rig.View().minimumSize(), rig.View().maximumSize());
        QCOMPARE(rig.Bar()->geometry(), QRect(11, 11, 345, 21));
        QCOMPARE(rig.Button()->geometry(), QRect(11, 164, 345, 33));
        QCOMPARE(rig.Done()->geometry(), QRect(89, 137, 128, 18));
        QCOMPARE(rig.Info()->geometry(), QRect(11, 38, 345, 83));
        QVERIFY(rig.Done()->alignment() & Qt::AlignHCenter);
        QVERIFY(rig.Info()->wordWrap());
        // Nothing the instructions say may be cut off at the template's size.
        const QRect needed = rig.Info()->fontMetrics().boundingRect(
            QRect(QPoint(), rig.Info()->size()), Qt::TextWordWrap | Qt::AlignLeft | Qt::AlignTop, rig.Info()->text());
        QVERIFY2(needed.height() <= rig.Info()->height(), qPrintable(QString::number(needed.height())));
    }

    void startUpStates_data()
    {
        QTest::addColumn<Attached>("attached");
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QStringList>("titlesDuringStartUp");
        QTest::newRow("no controller") << Attached::kNone << false << kTitle << QStringList{kTitle};
        // The information query's title survives the start-up's default one.
        QTest::newRow("command-report controller")
            << Attached::kCommand << true << QStringLiteral("Korvant Update v2.00 (Fw v1.05 r3)")
            << QStringList{QStringLiteral("Korvant Update v2.00 (Fw v1.05 r3)")};
        // The framed version report's title is shown, then gives way to the default one.
        QTest::newRow("framed controller") << Attached::kFramed << true << kTitle
                                           << QStringList{QStringLiteral("Korvant Update v2.00(GamePad V1.05)"), kTitle};
    }

    void startUpStates()
    {
        QFETCH(Attached, attached);
        QFETCH(bool, enabled);
        QFETCH(QString, title);
        QFETCH(QStringList, titlesDuringStartUp);

        GuiRig rig;
        if (attached != Attached::kNone)
            rig.Attach(attached == Attached::kCommand ? SimFamily::kCommand : SimFamily::kFramed);
        rig.window = std::make_unique<UpdateWindow>(rig.platform, rig.clock);
        QStringList titles;
        connect(&rig.View(), &QWidget::windowTitleChanged, this, [&](const QString& t) { titles << t; });
        rig.Model().OnInitDialog();
        // The version query runs before the window first appears.
        QVERIFY(!rig.View().isVisible());
        QCOMPARE(titles, titlesDuringStartUp);
        rig.View().show();
        QVERIFY(QTest::qWaitForWindowExposed(&rig.View()));

        QCOMPARE(rig.Title(), title);
        QCOMPARE(rig.Button()->isEnabled(), enabled);
        QCOMPARE(rig.Button()->text(), QStringLiteral("USB Update"));
        QVERIFY(rig.Done()->isHidden());
        QCOMPARE(rig.Done()->text(), QStringLiteral("Firmware upgraded!"));
        QCOMPARE(rig.Bar()->minimum(), 0);
        QCOMPARE(rig.Bar()->maximum(), 100);
        QCOMPARE(rig.Bar()->value(), 0);
        QCOMPARE(rig.Info()->text(), kInstructionsEn);
        QVERIFY(!rig.View().windowIcon().isNull());
    }

    void chineseTextsUnderAChineseLocale()
    {
        GuiRig rig("zh_CN.UTF-8");
        rig.Start();
        QCOMPARE(rig.Title(), kTitle);
        QCOMPARE(rig.Button()->text(), QStringLiteral(u"USB 升级"));
        QCOMPARE(rig.Done()->text(), QStringLiteral(u"升级成功。"));
        QCOMPARE(rig.Info()->text(),
                 QStringLiteral(u"1. 按住配对键并插入PC。\n\n2. 点击 USB 升级按钮，选择升级文件升级。"));
        // Without a font that has the glyphs, the texts render as empty boxes.
        QVERIFY2(!QFontDatabase::families(QFontDatabase::SimplifiedChinese).isEmpty(),
                 "no font for Simplified Chinese (scripts/install-deps installs fonts-wqy-microhei)");
    }

    void shippedIconIsTheRenderingOfItsDrawing()
    {
        const QString dir = QStringLiteral(KORVANT_SOURCE_DIR "/packaging/");
        QImageReader svg(dir + QStringLiteral("korvant-update.svg"), "svg");
        svg.setScaledSize(QSize(32, 32));
        const QImage rendered = svg.read().convertToFormat(QImage::Format_ARGB32);
        QVERIFY2(!rendered.isNull(), qPrintable(svg.errorString()));
        const QImage shipped = QImage(dir + QStringLiteral("korvant-update.png")).convertToFormat(QImage::Format_ARGB32);
        QVERIFY2(shipped == rendered, "packaging/korvant-update.png is stale: run scripts/render-icon");
        QVERIFY(!AppIcon().pixmap(32).isNull());
    }

    // --- the port, as the model and the flows use it

    void progressOutsideItsRangeShowsTheNearestEnd_data()
    {
        QTest::addColumn<int>("pos");
        QTest::addColumn<int>("shown");
        QTest::newRow("inside") << 46 << 46;
        QTest::newRow("top") << 100 << 100;
        QTest::newRow("above") << 150 << 100;
        QTest::newRow("below") << -3 << 0;
    }

    void progressOutsideItsRangeShowsTheNearestEnd()
    {
        QFETCH(int, pos);
        QFETCH(int, shown);
        GuiRig rig;
        rig.Start(false);
        rig.View().Progress().SetPos(50);
        rig.View().Progress().SetPos(pos);
        QCOMPARE(rig.Bar()->value(), shown);
    }

    void messageBoxes_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<int>("press");  // a button, or 0 for Esc
        QTest::addColumn<int>("result");
        QTest::addColumn<QString>("shownTitle");
        const int ok = int(MsgBoxType::kOk), okCancel = int(MsgBoxType::kOkCancel);
        QTest::newRow("OK") << ok << kTitle << int(QMessageBox::Ok) << int(MsgBoxResult::kOk) << kTitle;
        QTest::newRow("OK box closed with Esc") << ok << kTitle << 0 << int(MsgBoxResult::kOk) << kTitle;
        QTest::newRow("OK/Cancel, OK") << okCancel << kTitle << int(QMessageBox::Ok) << int(MsgBoxResult::kOk) << kTitle;
        QTest::newRow("OK/Cancel, Cancel")
            << okCancel << kTitle << int(QMessageBox::Cancel) << int(MsgBoxResult::kCancel) << kTitle;
        QTest::newRow("OK/Cancel closed with Esc") << okCancel << kTitle << 0 << int(MsgBoxResult::kCancel) << kTitle;
        QTest::newRow("no caption: the program's name")
            << ok << QString() << int(QMessageBox::Ok) << int(MsgBoxResult::kOk) << QGuiApplication::applicationDisplayName();
    }

    void messageBoxes()
    {
        QFETCH(int, type);
        QFETCH(QString, caption);
        QFETCH(int, press);
        QFETCH(int, result);
        QFETCH(QString, shownTitle);
        GuiRig rig;
        rig.Start();
        ModalAnswerer answerer;
        answerer.SetHook([&](QWidget* w, int) {
            if (press) return ModalAnswerer::Verdict::kUseScript;
            QTest::keyClick(w, Qt::Key_Escape);
            return ModalAnswerer::Verdict::kAnswered;
        });
        if (press) answerer.QueueButton(QMessageBox::StandardButton(press));

        const MsgBoxResult got = rig.View().MessageBox("line one\r\nline <b>two</b>", caption.toStdString(), MsgBoxType(type));
        QCOMPARE(int(got), result);
        QCOMPARE(answerer.Seen().size(), 1);
        const SeenModal& box = answerer.Seen().front();
        QCOMPARE(box.title, shownTitle);
        QCOMPARE(box.text, QStringLiteral("line one\nline <b>two</b>"));
        QCOMPARE(box.owner, &rig.View());
        QVERIFY(!box.has_icon);
        QCOMPARE(box.buttons, MsgBoxType(type) == MsgBoxType::kOk ? QMessageBox::StandardButtons(QMessageBox::Ok)
                                                                  : QMessageBox::Ok | QMessageBox::Cancel);
    }

    void fileDialog_data()
    {
        QTest::addColumn<bool>("choose");
        QTest::newRow("a file chosen") << true;
        QTest::newRow("cancelled") << false;
    }

    void fileDialog()
    {
        QFETCH(bool, choose);
        GuiRig rig;
        rig.Start();
        const std::string image = rig.dir.File("fw 1.dat");
        { std::ofstream(image) << "x"; }
        ModalAnswerer answerer;
        answerer.QueueFile(choose ? std::optional<QString>(QString::fromStdString(image)) : std::nullopt);

        const std::optional<std::string> chosen =
            rig.View().OpenFileDialog({"File type(*.dat)", "*.dat"}, rig.dir.Path().string());
        QCOMPARE(chosen.has_value(), choose);
        if (choose) QCOMPARE(QFileInfo(QString::fromStdString(*chosen)).canonicalFilePath(),
                             QFileInfo(QString::fromStdString(image)).canonicalFilePath());
        QCOMPARE(answerer.Seen().size(), 1);
        const SeenModal& seen = answerer.Seen().front();
        QVERIFY(seen.file_dialog);
        QCOMPARE(seen.name_filters, QStringList{QStringLiteral("File type(*.dat)")});
        QCOMPARE(QFileInfo(seen.directory).canonicalFilePath(),
                 QFileInfo(QString::fromStdString(rig.dir.Path().string())).canonicalFilePath());
        QVERIFY(!seen.native);
        QCOMPARE(seen.owner, &rig.View());
    }

    // A worker's call returns only once the GUI thread has applied it, and a call made on
    // the GUI thread itself runs at once instead of waiting on itself.
    void callsFromAnotherThreadReturnOnceApplied()
    {
        GuiRig rig;
        rig.Start(false);
        std::atomic<int> shownOnGui{-1};
        std::atomic<bool> changedOffGui{false};
        const std::thread::id gui = std::this_thread::get_id();
        connect(rig.Bar(), &QProgressBar::valueChanged, this, [&](int v) {
            if (std::this_thread::get_id() != gui) changedOffGui = true;
            shownOnGui = v;
        });
        std::atomic<int> lagging{0};
        std::atomic<bool> finished{false};
        std::thread worker([&] {
            for (int p = 1; p <= 100; ++p) {
                rig.View().Progress().SetPos(p);
                if (shownOnGui.load() != p) ++lagging;
            }
            rig.View().UpdateButton().EnableWindow(false);
            rig.View().SetWindowText("from the worker");
            finished = true;
        });
        QTRY_VERIFY_WITH_TIMEOUT(finished.load(), 20000);
        worker.join();
        QCOMPARE(lagging.load(), 0);
        QVERIFY(!changedOffGui.load());
        QCOMPARE(rig.Title(), QStringLiteral("from the worker"));
        QVERIFY(!rig.Button()->isEnabled());

        rig.View().Progress().SetPos(7);
        QCOMPARE(rig.Bar()->value(), 7);
    }
};

QTEST_MAIN(WindowTest)
#include "window_test.moc"
