// The dialog model: start-up, the button, device presence and notices, the update start,
// and the rules that keep the HID link to one user and the updates to one worker.
#include "app/update_dlg.h"

#include "app/texts.h"
#include "base/debug_output.h"
#include "base/strprintf.h"

#include <cstring>
#include <system_error>

CUpdateDlg* g_pUpdateDlg = nullptr;
IButton* g_pBtnUpdate = nullptr;
IProgressBar* g_pProgress = nullptr;
ILabel* g_pDoneLabel = nullptr;
ILabel* g_pInfoLabel = nullptr;
std::atomic<uint32_t> g_nDeviceVersion{0};
std::atomic<int> g_bStopUpdate{0};

namespace {

constexpr unsigned kDueArrival = 1;
constexpr unsigned kDueRemoval = 2;
constexpr unsigned kDueNodesChanged = 4;

unsigned DueBit(uint32_t event)
{
    switch (event) {
    case DBT_DEVICEARRIVAL: return kDueArrival;
    case DBT_DEVICEREMOVECOMPLETE: return kDueRemoval;
    case DBT_DEVNODES_CHANGED: return kDueNodesChanged;
    default: return 0;
    }
}

} // namespace

CUpdateDlg::CUpdateDlg(IDialogView& view, IHidPlatform& platform, IClock& clock, IDeviceNoticeSink* notice_sink)
    : m_hid(platform), m_view(view), m_clock(clock), m_noticeSink(notice_sink)
{
    g_pUpdateDlg = this;
}

CUpdateDlg::~CUpdateDlg()
{
    // The front end refuses to close while an update runs; should the model still be torn
    // down with a worker alive, the worker is stopped at its next pass and joined, never left
    // using a dialog that is gone.
    g_bStopUpdate = 1;
    WaitForWorker();
    m_file.Close();
    if (g_pUpdateDlg == this) g_pUpdateDlg = nullptr;
}

bool CUpdateDlg::OnInitDialog()
{
    g_pBtnUpdate = &m_view.UpdateButton();
    g_pProgress = &m_view.Progress();
    g_pDoneLabel = &m_view.DoneLabel();

    g_pDoneLabel->ShowWindow(false);
    g_pDoneLabel->SetWindowText(LoadLocalizedString(TEXT_UPGRADED));

    g_pInfoLabel = &m_view.InfoLabel();
    g_pInfoLabel->SetWindowText(LoadLocalizedString(TEXT_INSTRUCTIONS));

    g_pProgress->SetRange(0, 100);
    g_pProgress->SetPos(0);

    std::memset(m_chunk, 0, sizeof m_chunk);
    m_nFwVersion = 0;
    m_nFwSize = 0;
    m_nFwAddress = 0;
    m_nBytesSent = 0;
    m_nFwRevision = 0;
    std::memset(m_header, 0, sizeof m_header);

    g_bStopUpdate = 1;
    g_pBtnUpdate->SetWindowText(LoadLocalizedString(TEXT_USB_UPDATE));

    // The notice sink must be in place before the first presence check: that check
    // registers the notices.
    m_hid.m_hWndNotify = m_noticeSink;
    g_nDeviceVersion = DEVICE_VERSION_PENDING;
    if (m_hid.CheckDevice()) {
        g_pBtnUpdate->EnableWindow(true);
        QueryDeviceVersion();
    } else {
        g_pBtnUpdate->EnableWindow(false);
    }

    g_nUpdateStage = UPDATE_STAGE_DONE;
    // A command-report controller's information query has already put its version in the
    // title; a framed controller's version title gives way to the plain one here.
    if (!m_bTitleSet) m_view.SetWindowText(LoadLocalizedString(TEXT_TITLE));
    return true;
}

void CUpdateDlg::UpdateButtonState()
{
    g_pBtnUpdate->EnableWindow(m_hid.CheckDevice() == 1);
}

void CUpdateDlg::QueryDeviceVersion()
{
    g_nDeviceVersion = DEVICE_VERSION_PENDING;
    if (!m_hid.Open()) return;
    if (g_bDirectDevice)
        LoadDeviceInfo();
    else
        QueryFramedVersion();
}

bool CUpdateDlg::OnDeviceChange(uint32_t event, uintptr_t /*data*/)
{
    const uint32_t code = event & 0xFFFF;
    const unsigned due = DueBit(code);
    if (!due) return true;
    if (UpdateRunning()) {
        // The worker owns the link: no search, no query, no button change now. The check is
        // made when the worker has ended.
        m_dueNotices |= due;
        return true;
    }
    const int found = m_hid.CheckDevice();
    const std::string title = LoadLocalizedString(TEXT_TITLE);
    switch (code) {
    case DBT_DEVNODES_CHANGED:
        if (found) {
            g_pBtnUpdate->EnableWindow(true);
        } else {
            g_pBtnUpdate->EnableWindow(false);
            m_view.SetWindowText(title);
        }
        break;
    case DBT_DEVICEARRIVAL:
        if (found) {
            g_pBtnUpdate->EnableWindow(true);
            QueryDeviceVersion();
        }
        break;
    case DBT_DEVICEREMOVECOMPLETE:
        if (!found) {
            g_pBtnUpdate->EnableWindow(false);
            OutputDebugText(title);
            m_view.SetWindowText(title);
        }
        break;
    default:
        break;
    }
    return true;
}

void CUpdateDlg::OnBnClickedUsbUpdate()
{
    // At most one worker: the button may look enabled while a worker still finishes (the
    // framed flow enables it after the last piece), but a second update never starts.
    if (UpdateRunning()) return;
    g_pDoneLabel->ShowWindow(false);
    if (!m_hid.Open()) return;
    WaitForWorker();
    g_bStopUpdate = 0;
    g_pBtnUpdate->EnableWindow(false);
    g_pProgress->SetPos(0);

    m_bImageDelivered = false;
    m_bDeviceGone = false;
    m_bRefused = false;
    m_lastOutcome = UpdateOutcome::kNone;
    m_bUpdateRunning = true;
    try {
        m_hThread = std::thread(g_bDirectDevice ? HostUpdateThread : Usb_UpdateThread, nullptr);
    } catch (const std::system_error&) {
        // No worker: the button stays disabled until a notice re-evaluates it.
        m_bUpdateRunning = false;
    }
}

void CUpdateDlg::WaitForWorker()
{
    if (m_hThread.joinable() && m_hThread.get_id() != std::this_thread::get_id()) m_hThread.join();
}

void CUpdateDlg::FinishWorker()
{
    m_bUpdateRunning = false;
    m_view.PostUpdateEnded();
}

void CUpdateDlg::OnUpdateThreadEnded()
{
    WaitForWorker();
    const unsigned due = m_dueNotices.exchange(0);
    // Replayed so the last word is the one that matters: a removal, then whether anything
    // is there now, then an arrival with its version query.
    if (due & kDueRemoval) OnDeviceChange(DBT_DEVICEREMOVECOMPLETE, 0);
    if (due & kDueNodesChanged) OnDeviceChange(DBT_DEVNODES_CHANGED, 0);
    if (due & kDueArrival) OnDeviceChange(DBT_DEVICEARRIVAL, 0);
}

void CUpdateDlg::ShowUpdateSuccess()
{
    g_bStopUpdate = 1;
    m_lastOutcome = UpdateOutcome::kSuccess;
    m_view.MessageBox(StrPrintf("\n %s \n", LoadLocalizedString(TEXT_UPGRADED).c_str()), LoadLocalizedString(TEXT_TITLE),
                      MsgBoxType::kOk);
    // Only once the user has closed the box: the label and the empty bar are what stays.
    g_pDoneLabel->ShowWindow(true);
    g_pProgress->SetPos(0);
}

void CUpdateDlg::ShowUpdateFailure(int advice_text)
{
    m_lastOutcome = UpdateOutcome::kFailed;
    std::string text = StrPrintf("%s\n", LoadLocalizedString(TEXT_UPDATE_FAILURE).c_str());
    if (advice_text) text.append("\n").append(LoadLocalizedString(advice_text));
    m_view.MessageBox(text, LoadLocalizedString(TEXT_TITLE), MsgBoxType::kOk);
}
