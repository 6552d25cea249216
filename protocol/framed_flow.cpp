// The device-driven update: the controller asks for each 32-byte piece of the image and the
// worker answers every request with the next one, then with the end message.
#include "app/texts.h"
#include "app/update_dlg.h"
#include "base/debug_output.h"
#include "base/le.h"
#include "base/strprintf.h"
#include "image/firmware_image.h"
#include "protocol/framed_message.h"
#include "protocol/progress.h"

#include <cerrno>

std::atomic<int> g_nUpdateStage{UPDATE_STAGE_DONE};
std::atomic<uint32_t> g_nFirmwareType{0};

namespace {

// A controller that has said nothing valid for this long is not coming back: the update
// ends with a failure message instead of polling forever. Generous, because a controller
// may erase its flash between the header and the first request.
constexpr uint64_t kFramedSilenceLimitMs = 10000;
// The version query runs on the dialog's thread, so it may hold the window only briefly.
constexpr uint64_t kFramedVersionQueryLimitMs = 2000;

} // namespace

unsigned Usb_UpdateThread(void* /*parameter*/)
{
    g_pUpdateDlg->RunFramedUpdate();
    return 0;
}

uint32_t CUpdateDlg::FramedPass()
{
    const uint32_t status = m_hid.ReadHid(g_inReport, kHidDataSize);
    if (status != HID_READ_OK) {
        DebugPrintf("recv() failed with error code 0x%x\n", status);
        if (!IsLinkLost(status)) SendControlPacket(TYPE_RECEIVE_FAILED, 0);
        return status;
    }
    DebugPrintf(" %d Bytes received from sender\n", g_inReport[INREPORT_OFFSET_COUNT]);
    OnDeviceMessage(g_inReport + INREPORT_OFFSET_MESSAGE);
    return status;
}

void CUpdateDlg::RunFramedUpdate()
{
    if (!SendControlPacket(TYPE_START_UPDATE, 0)) {
        DebugPrintf("send() failed with error code %d\n", errno);
        // The controller could not even be told to start: say so and give the button back
        // rather than leave it disabled with no word.
        ShowUpdateFailure(TEXT_DEVICE_GONE);
        UpdateButtonState();
        FinishWorker();
        return;
    }
    DebugPrintf("send() is OK!\n");
    DebugPrintf("Bytes Sent: %d\n", 1);

    uint64_t lastHeard = m_clock.NowMs();
    do {
        const uint32_t status = FramedPass();
        if (IsLinkLost(status)) {
            StopUpdate();
            ShowUpdateFailure(TEXT_DEVICE_GONE);
        } else if (status == HID_READ_OK && g_inReport[INREPORT_OFFSET_MESSAGE] == 0x00) {
            // Measured from the end of the handling: the file dialog may have been open.
            lastHeard = m_clock.NowMs();
        } else if (m_clock.NowMs() - lastHeard >= kFramedSilenceLimitMs && g_bStopUpdate == 0) {
            StopUpdate();
            ShowUpdateFailure(TEXT_CONTROLLER_SILENT);
        }
    } while (g_bStopUpdate == 0);

    UpdateButtonState();
    DebugPrintf("Exit Usb_UpdateThread\n");
    FinishWorker();
}

void CUpdateDlg::OnDeviceMessage(const uint8_t* message)
{
    if (message[FRAME_OFFSET_ZERO] != 0x00) return;
    switch (message[FRAME_OFFSET_TYPE]) {
    case TYPE_FIRMWARE:
        OnFirmwareMessage(message + FRAME_OFFSET_COMMAND);
        break;
    case TYPE_IDENTITY: {
        g_nFirmwareType = LoadLe32(message + FRAME_OFFSET_FIRMWARE_TYPE);
        DebugPrintf("firmware type %d\n", int(g_nFirmwareType.load()));
        if (g_nFirmwareType == FIRMWARE_TYPE_BOOT || g_nFirmwareType == FIRMWARE_TYPE_BOOT_2) {
            if (!SelectFirmwareFile()) StopUpdate();
        } else {
            StopUpdate();
            const std::string text = StrPrintf("%s\n", LoadLocalizedString(TEXT_NOT_BOOT_MODE).c_str());
            OutputDebugText(text);
            m_lastOutcome = UpdateOutcome::kFailed;
            m_view.MessageBox(text, LoadLocalizedString(TEXT_TITLE), MsgBoxType::kOk);
        }
        break;
    }
    default:
        break;
    }
}

void CUpdateDlg::FramedHandOff()
{
    g_nUpdateStage = UPDATE_STAGE_HEADER_SENT;
    SendImageHeader();
    DebugPrintf("desVersion is %d\n", int(m_nFwVersion));
}

void CUpdateDlg::OnFirmwareMessage(const uint8_t* payload)
{
    switch (payload[0]) {
    case GET_FIRMWARE_VERSION: {
        const uint32_t v = LoadLe32(payload + FRAME_PAYLOAD_DATA);
        g_nDeviceVersion = v;
        DebugPrintf("cur_devVersion 0x%x\n", v);
        const std::string title = LoadLocalizedString(TEXT_TITLE);
        if (v == DEVICE_VERSION_NONE) {
            m_view.MessageBox(StrPrintf("%s", LoadLocalizedString(TEXT_INSTRUCTIONS).c_str()), title, MsgBoxType::kOk);
        } else if (v >> 16) {
            m_view.SetWindowText(StrPrintf("%s(GamePad V%0.2f beta%d)", title.c_str(), double(v & 0xFFFF) / 100, int(v >> 16)));
        } else {
            m_view.SetWindowText(StrPrintf("%s(GamePad V%0.2f)", title.c_str(), double(v) / 100));
        }
        break;
    }
    case SET_FIRMWARE_DATA:
        OnDataRequest();
        break;
    case FIRMWARE_FAILED:
    case FIRMWARE_FAILED_2:
        OnUpdateFailed();
        break;
    default:
        break;
    }
}

void CUpdateDlg::OnDataRequest()
{
    switch (g_nUpdateStage.load()) {
    case UPDATE_STAGE_HEADER_SENT: {
        if (!m_file.Open(m_strFirmwarePath)) return; // the next request tries again
        g_nUpdateStage = UPDATE_STAGE_STREAMING;
        m_file.Seek(IMAGE_PAYLOAD_OFFSET);
        const size_t n = m_file.Read(m_chunk, FIRMWARE_PIECE_SIZE);
        SendImageData(m_chunk, int(n));
        DebugPrintf("update file is 0x%x\n", m_nFwSize);
        m_nBytesSent += uint32_t(n);
        break;
    }
    case UPDATE_STAGE_STREAMING: {
        // After a failure the image is closed until the next hand-off; there is no piece to give.
        if (!m_file.IsOpen()) return;
        const size_t n = m_file.Read(m_chunk, FIRMWARE_PIECE_SIZE);
        if (n == 0 && m_nBytesSent < m_nFwSize) {
            // The file was checked whole when it was chosen; it changed or broke since.
            // Empty answers would keep the controller asking for ever.
            StopUpdate();
            ShowUpdateFailure(TEXT_IMAGE_UNREADABLE);
            return;
        }
        SendImageData(m_chunk, int(n));
        m_nBytesSent += uint32_t(n);
        DebugPrintf("\nSET_FIRMWARE_DATA read_pos %d offset 0x%x\n\n", int(n), m_nBytesSent.load());
        g_pProgress->SetPos(ProgressPercent(m_nBytesSent, m_nFwSize));
        if (m_nBytesSent >= m_nFwSize) {
            m_file.Close();
            DebugPrintf("update successful\n");
            g_nUpdateStage = UPDATE_STAGE_DONE;
            m_bImageDelivered = true;
            g_pBtnUpdate->EnableWindow(true);
        }
        break;
    }
    case UPDATE_STAGE_DONE:
        // Within an update, "done" means this update delivered the image; a request before
        // the image went out (a stale one, or a confused controller) must not end it as a success.
        if (UpdateRunning() && !m_bImageDelivered) return;
        SendFirmwarePacket(FIRMWARE_END, nullptr, 0);
        // Outside an update (a version query after one) the controller still gets its end
        // message, but nobody is told again that an update succeeded.
        if (!UpdateRunning()) return;
        ShowUpdateSuccess();
        break;
    default:
        break;
    }
}

void CUpdateDlg::StopUpdate()
{
    m_file.Close();
    g_bStopUpdate = 1;
}

void CUpdateDlg::OnUpdateFailed()
{
    StopUpdate();
    m_lastOutcome = UpdateOutcome::kFailed;
    m_view.MessageBox(StrPrintf("%s\n", LoadLocalizedString(TEXT_UPDATE_FAILURE).c_str()), LoadLocalizedString(TEXT_TITLE),
                      MsgBoxType::kOk);
    if (m_hid.m_bDeviceFound) g_pBtnUpdate->EnableWindow(true);
}

void CUpdateDlg::QueryFramedVersion()
{
    SendFirmwarePacket(GET_FIRMWARE_VERSION, nullptr, 0);
    const uint64_t start = m_clock.NowMs();
    while (g_nDeviceVersion == DEVICE_VERSION_PENDING) {
        if (m_clock.NowMs() - start >= kFramedVersionQueryLimitMs) {
            DebugPrintf("no version report within %u ms\n", unsigned(kFramedVersionQueryLimitMs));
            return;
        }
        if (IsLinkLost(FramedPass())) return;
    }
}
