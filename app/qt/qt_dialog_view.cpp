#include "app/qt/qt_dialog_view.h"

#include "app/qt/app_icon.h"
#include "app/qt/dialog_units.h"
#include "app/texts.h"
#include "app/update_dlg.h"

#include <QApplication>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>

#include <algorithm>

namespace {

QString FromUtf8(const std::string& s) { return QString::fromStdString(s); }

// The texts keep the Windows line breaks of their table; Qt breaks lines at '\n' alone.
QString ForDisplay(const std::string& s) { return FromUtf8(s).replace(QStringLiteral("\r\n"), QStringLiteral("\n")); }

// Qt reads the patterns from the parenthesis that ends a filter; the port's description
// normally carries it already ("File type(*.dat)").
QString NameFilter(const FileFilter& filter)
{
    const QString description = FromUtf8(filter.description);
    const QString pattern = FromUtf8(filter.pattern);
    if (pattern.isEmpty() || description.endsWith(QLatin1Char('(') + pattern + QLatin1Char(')'))) return description;
    return description + QStringLiteral(" (") + pattern + QLatin1Char(')');
}

} // namespace

QtDialogView::QtDialogView(QWidget* parent)
    : QDialog(parent), m_guiThread(std::this_thread::get_id())
{
    using namespace dialog_units;

    // The template's 9-point SimSun. Where that face is missing, fontconfig picks the
    // nearest one that has the glyphs (a CJK face for the Chinese texts).
    QFont font(QStringLiteral("SimSun"));
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(kFontPixels);
    setFont(font);

    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(X(244), Y(138));
    setWindowIcon(AppIcon());

    // Template order, which is also the tab order.
    m_progressWidget = new QProgressBar(this);
    m_progressWidget->setGeometry(Rect(7, 7, 230, 14));
    m_progressWidget->setTextVisible(false);

    m_buttonWidget = new QPushButton(this);
    m_buttonWidget->setObjectName(QStringLiteral("usbUpdate"));
    m_buttonWidget->setGeometry(Rect(7, 109, 230, 22));

    m_doneWidget = new QLabel(this);
    m_doneWidget->setObjectName(QStringLiteral("doneLabel"));
    m_doneWidget->setGeometry(Rect(59, 91, 85, 12));
    m_doneWidget->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    m_doneWidget->setTextFormat(Qt::PlainText);
    m_doneWidget->hide();

    m_infoWidget = new QLabel(this);
    m_infoWidget->setObjectName(QStringLiteral("infoLabel"));
    m_infoWidget->setGeometry(Rect(7, 25, 230, 55));
    m_infoWidget->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_infoWidget->setTextFormat(Qt::PlainText);
    m_infoWidget->setWordWrap(true);

    m_button.view = this;
    m_progress.view = this;
    m_done.view = this;
    m_done.widget = m_doneWidget;
    m_info.view = this;
    m_info.widget = m_infoWidget;
    m_noticeSink.view = this;

    connect(m_buttonWidget, &QPushButton::clicked, this, [this] {
        if (m_model) m_model->OnBnClickedUsbUpdate();
    });
}

QtDialogView::~QtDialogView() = default;

void QtDialogView::Attach(CUpdateDlg* model) { m_model = model; }

void QtDialogView::FinishRunningUpdate()
{
    while (m_model && m_model->UpdateRunning())
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

void QtDialogView::done(int result)
{
    if (m_model && !m_model->CanClose()) {
        // Every phase of an update is bounded, so the user never waits long; closing now
        // would leave the controller half-written with nobody to say so.
        MessageBox(LoadLocalizedString(TEXT_CLOSE_REFUSED), LoadLocalizedString(TEXT_TITLE), MsgBoxType::kOk);
        return;
    }
    QDialog::done(result);
}

void QtDialogView::OnGuiThread(const std::function<void()>& f)
{
    if (std::this_thread::get_id() == m_guiThread) {
        f();
        return;
    }
    PendingCall call{&f};
    {
        std::lock_guard<std::mutex> lock(m_queueLock);
        m_calls.push_back(&call);
    }
    Wake();
    std::unique_lock<std::mutex> lock(m_queueLock);
    m_callDone.wait(lock, [&] { return call.done; });
}

void QtDialogView::Wake()
{
    QMetaObject::invokeMethod(this, "RunQueued", Qt::QueuedConnection);
}

void QtDialogView::RunQueued()
{
    // A call may run a modal box whose event loop comes back here; each entry is taken off
    // the queue before it runs, so nothing runs twice.
    for (;;) {
        std::unique_lock<std::mutex> lock(m_queueLock);
        if (!m_calls.empty()) {
            PendingCall* call = m_calls.front();
            m_calls.pop_front();
            lock.unlock();
            (*call->run)();
            lock.lock();
            call->done = true;
            m_callDone.notify_all();
        } else if (!m_notices.empty()) {
            const uint32_t event = m_notices.front();
            m_notices.pop_front();
            lock.unlock();
            if (m_model) m_model->OnDeviceChange(event, 0);
        } else if (m_updateEnded) {
            m_updateEnded = false;
            lock.unlock();
            if (m_model) m_model->OnUpdateThreadEnded();
        } else {
            return;
        }
    }
}

void QtDialogView::NoticeBridge::PostDeviceChange(uint32_t event)
{
    {
        std::lock_guard<std::mutex> lock(view->m_queueLock);
        view->m_notices.push_back(event);
    }
    view->Wake();
}

void QtDialogView::PostUpdateEnded()
{
    {
        std::lock_guard<std::mutex> lock(m_queueLock);
        m_updateEnded = true;
    }
    Wake();
}

void QtDialogView::SetWindowText(const std::string& title)
{
    OnGuiThread([&] { setWindowTitle(FromUtf8(title)); });
}

MsgBoxResult QtDialogView::MessageBox(const std::string& text, const std::string& caption, MsgBoxType type)
{
    MsgBoxResult result = MsgBoxResult::kCancel;
    OnGuiThread([&] {
        const QString title = caption.empty() ? QGuiApplication::applicationDisplayName() : FromUtf8(caption);
        const QMessageBox::StandardButtons buttons =
            type == MsgBoxType::kOkCancel ? QMessageBox::Ok | QMessageBox::Cancel : QMessageBox::Ok;
        QMessageBox box(QMessageBox::NoIcon, title, ForDisplay(text), buttons, this);
        box.setObjectName(QStringLiteral("messageBox"));
        // File names end up in these texts; none of them is markup.
        box.setTextFormat(Qt::PlainText);
        const int answer = box.exec();
        result = type == MsgBoxType::kOk || answer == QMessageBox::Ok ? MsgBoxResult::kOk : MsgBoxResult::kCancel;
    });
    return result;
}

std::optional<std::string> QtDialogView::OpenFileDialog(const FileFilter& filter,
                                                        const std::optional<std::string>& initial_dir)
{
    std::optional<std::string> chosen;
    OnGuiThread([&] {
        QFileDialog dialog(this, QString(), initial_dir ? QFile::decodeName(initial_dir->c_str()) : QString(),
                           NameFilter(filter));
        dialog.setObjectName(QStringLiteral("firmwareFileDialog"));
        dialog.setFileMode(QFileDialog::ExistingFile);
        dialog.setAcceptMode(QFileDialog::AcceptOpen);
        dialog.setOption(QFileDialog::DontUseNativeDialog, !m_nativeFileDialog);
        if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
            chosen = QFile::encodeName(dialog.selectedFiles().constFirst()).toStdString();
    });
    return chosen;
}

void QtDialogView::Button::EnableWindow(bool enable)
{
    view->OnGuiThread([&] { view->m_buttonWidget->setEnabled(enable); });
}

void QtDialogView::Button::SetWindowText(const std::string& text)
{
    view->OnGuiThread([&] { view->m_buttonWidget->setText(FromUtf8(text)); });
}

void QtDialogView::Bar::SetRange(int lower, int upper)
{
    view->OnGuiThread([&] { view->m_progressWidget->setRange(lower, std::max(lower, upper)); });
}

void QtDialogView::Bar::SetPos(int pos)
{
    // QProgressBar ignores a value outside its range; the native bar shows the nearest end.
    view->OnGuiThread([&] {
        QProgressBar* bar = view->m_progressWidget;
        bar->setValue(std::clamp(pos, bar->minimum(), bar->maximum()));
    });
}

void QtDialogView::Label::ShowWindow(bool show)
{
    view->OnGuiThread([&] { widget->setVisible(show); });
}

void QtDialogView::Label::SetWindowText(const std::string& text)
{
    view->OnGuiThread([&] { widget->setText(ForDisplay(text)); });
}
