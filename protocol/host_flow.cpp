// The host-driven update: erase, the payload in 46-byte blocks each acknowledged before the
// next, the version record, finish.
#include "app/texts.h"
#include "app/update_dlg.h"
#include "base/le.h"
#include "base/strprintf.h"
#include "image/firmware_image.h"
#include "protocol/command_report.h"
#include "protocol/progress.h"

#include <algorithm>

namespace {

// An unacknowledged block is sent again, but a controller that stops answering (unplugged,
// crashed) must not keep the worker resending for ever: one send and this many resends.
constexpr int kBlockResends = 5;

} // namespace

int CUpdateDlg::ExchangeFailureAdvice() const
{
    if (m_bDeviceGone) return TEXT_DEVICE_GONE;
    return m_bRefused ? TEXT_CONTROLLER_REFUSED : TEXT_CONTROLLER_SILENT;
}

unsigned HostUpdateThread(void* /*parameter*/)
{
    g_pUpdateDlg->RunHostUpdate();
    return 0;
}

int CUpdateDlg::WriteImageBlock(uint32_t offset, uint32_t length)
{
    for (int send = 0; send <= kBlockResends; ++send) {
        if (WriteBlock(m_chunk, m_nFwAddress + offset, length, m_nFwSize, 1)) return 1;
        if (m_bDeviceGone) break;
    }
    return 0;
}

void CUpdateDlg::RunHostUpdate()
{
    // Every way out passes the presence check at the end, so the button always ends up
    // enabled exactly when a controller is attached.
    [this] {
        if (!SelectFirmwareFile()) return;
        if (m_nFwSize == 0) return;
        if (!EraseArea(CMD_ERASE, m_nFwAddress, m_nFwSize)) {
            ShowUpdateFailure(ExchangeFailureAdvice());
            return;
        }
        if (!m_file.Open(m_strFirmwarePath)) {
            ShowUpdateFailure(TEXT_IMAGE_UNREADABLE);
            return;
        }
        // The last block stops at the announced size: bytes a longer file holds beyond it
        // belong to no erased area the controller was told about.
        auto readBlock = [this](uint32_t offset) {
            m_file.Seek(IMAGE_PAYLOAD_OFFSET + uint64_t(offset));
            const uint32_t want = std::min<uint32_t>(CMD_MAX_DATA, m_nFwSize - offset);
            return uint32_t(m_file.Read(m_chunk, want));
        };
        uint32_t offset = 0;
        uint32_t c = readBlock(offset);
        g_pProgress->SetPos(ProgressPercent(m_nBytesSent, m_nFwSize));
        while (offset < m_nFwSize) {
            if (c == 0) {
                // Checked whole when chosen; the file changed or broke since.
                m_file.Close();
                ShowUpdateFailure(TEXT_IMAGE_UNREADABLE);
                return;
            }
            if (!WriteImageBlock(offset, c)) {
                m_file.Close();
                ShowUpdateFailure(ExchangeFailureAdvice());
                return;
            }
            offset += c;
            m_nBytesSent += c;
            g_pProgress->SetPos(ProgressPercent(m_nBytesSent, m_nFwSize));
            if (offset < m_nFwSize) c = readBlock(offset);
        }
        m_file.Close();
        if (!WriteVersionRecord()) {
            ShowUpdateFailure(ExchangeFailureAdvice());
            return;
        }
        SendFinishCommand();
        ShowUpdateSuccess();
    }();
    UpdateButtonState();
    FinishWorker();
}

void CUpdateDlg::LoadDeviceInfo()
{
    if (!RequestDeviceInfo(g_deviceInfo, DEVICE_INFO_SIZE)) {
        g_pBtnUpdate->EnableWindow(false);
        m_view.MessageBox("Get gamepad info error", std::string(), MsgBoxType::kOk);
        return;
    }
    uint32_t version = LoadLe32(g_deviceInfo + INFO_OFFSET_VERSION);
    if (version == INFO_VERSION_NONE) version = 0;
    uint16_t revision = LoadLe16(g_deviceInfo + INFO_OFFSET_REVISION);
    if (revision == INFO_REVISION_NONE) revision = 0;
    g_nDeviceVersion = version;

    const std::string name = LoadLocalizedString(TEXT_TITLE);
    std::string title;
    if (version >> 16)
        title = StrPrintf("%s (Fw v%0.2f beta%d r%d)", name.c_str(), double(version & 0xFFFF) / 100, int(version >> 16),
                          int(revision));
    else
        title = StrPrintf("%s (Fw v%0.2f r%d)", name.c_str(), double(version) / 100, int(revision));
    m_view.SetWindowText(title);
    m_bTitleSet = true;
}
