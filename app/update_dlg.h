#pragma once
// CUpdateDlg: the one dialog as a toolkit-neutral model. It holds all update state, owns the
// HID link and reaches the window through the dialog-view port; the Qt dialog and the
// terminal tool are thin faces over it. Its operations are spread by subsystem:
//   app/update_dlg.cpp        start-up, button state, presence, notices, the click
//   image/select_firmware.cpp choosing and confirming an image
//   protocol/framed_*.cpp     framed messages and the device-driven flow
//   protocol/command_*.cpp    command reports, host_flow.cpp the host-driven flow
#include "app/dialog_view.h"
#include "base/clock.h"
#include "hid/hid.h"
#include "image/image_file.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

// The controller's version word; 0x5A5A5A5A while a version query waits for it.
constexpr uint32_t DEVICE_VERSION_PENDING = 0x5A5A5A5A;

class CUpdateDlg;

// Process-wide state shared by the dialog's thread and the update worker.
extern CUpdateDlg* g_pUpdateDlg;
extern IButton* g_pBtnUpdate;
extern IProgressBar* g_pProgress;
extern ILabel* g_pDoneLabel;
extern ILabel* g_pInfoLabel;
extern std::atomic<uint32_t> g_nDeviceVersion;
// Nonzero ends the framed worker's loop: 1 from start-up on, 0 while an update runs.
extern std::atomic<int> g_bStopUpdate;
// How the framed flow answers the next data request; 3 is also the idle value.
extern std::atomic<int> g_nUpdateStage;
extern std::atomic<uint32_t> g_nFirmwareType;

constexpr int UPDATE_STAGE_HEADER_SENT = 1;
constexpr int UPDATE_STAGE_STREAMING = 2;
constexpr int UPDATE_STAGE_DONE = 3;

// How an update ended, for front ends that report it (the terminal tool's exit code).
enum class UpdateOutcome { kNone, kSuccess, kFailed, kCancelled, kInvalidImage };

class CUpdateDlg {
public:
    // notice_sink receives the HID link's device notices (from the link's own thread); the
    // front end hands them to OnDeviceChange on the dialog's thread. Null: no notices.
    CUpdateDlg(IDialogView& view, IHidPlatform& platform, IClock& clock = SystemClock(),
               IDeviceNoticeSink* notice_sink = nullptr);
    virtual ~CUpdateDlg();
    CUpdateDlg(const CUpdateDlg&) = delete;
    CUpdateDlg& operator=(const CUpdateDlg&) = delete;

    // --- start-up and the dialog's own handling
    bool OnInitDialog();
    void UpdateButtonState();

    // --- presence and update start
    void QueryDeviceVersion();
    bool OnDeviceChange(uint32_t event, uintptr_t data);
    void OnBnClickedUsbUpdate();
    bool UpdateRunning() const { return m_bUpdateRunning.load(); }
    // Joins a worker that has ended (or waits for a running one). Dialog's thread only.
    void WaitForWorker();
    // Called by the front end on the dialog's thread after the worker has told it, through
    // the view, that it ended: joins it and runs the presence check that notices asked for
    // while it ran.
    void OnUpdateThreadEnded();
    // Whether the window may close now; false while an update runs.
    bool CanClose() const { return !UpdateRunning(); }

    // --- the image
    int SelectFirmwareFile();

    // --- framed messages and the device-driven flow
    void SendImageHeader();
    void SendImageData(const uint8_t* data, int length);
    void OnDeviceMessage(const uint8_t* message);
    void OnFirmwareMessage(const uint8_t* payload);
    void StopUpdate();
    void OnUpdateFailed();
    void QueryFramedVersion();
    void RunFramedUpdate();

    // --- command reports and the host-driven flow
    int EraseArea(uint16_t command, uint32_t address, uint32_t size);
    int WriteBlock(const uint8_t* data, uint32_t address, uint32_t length, uint32_t total, int isImageData);
    int RequestDeviceInfo(uint8_t* destination, uint32_t count);
    int WriteVersionRecord();
    int SendFinishCommand();
    void RunHostUpdate();
    void LoadDeviceInfo();

    IDialogView& View() { return m_view; }
    IClock& Clock() { return m_clock; }
    UpdateOutcome LastOutcome() const { return m_lastOutcome.load(); }

    // Members, as the flows know them.
    CHid m_hid;
    uint8_t m_chunk[128] = {};
    uint32_t m_nFwVersion = 0;
    uint32_t m_nFwSize = 0;
    uint32_t m_nFwAddress = 0;
    std::atomic<uint32_t> m_nBytesSent{0};
    uint16_t m_nFwRevision = 0;
    uint8_t m_header[28] = {};
    std::string m_strFirmwarePath;
    std::thread m_hThread;
    std::atomic<bool> m_bTitleSet{false};
    CImageFile m_file;

private:
    void FramedHandOff();
    // One read of the link and the handling of what it brought; the read's status.
    uint32_t FramedPass();
    void OnDataRequest();
    // The end of a successful update, in either family: stop flag, the success box, then the
    // success label and the bar back at 0.
    void ShowUpdateSuccess();
    // Shows text 7 as the failure box, with a paragraph of advice when advice_text is not 0,
    // and records the failure.
    void ShowUpdateFailure(int advice_text);
    // The worker's last step: the update is over and the front end is told.
    void FinishWorker();
    // The advice that goes with a failed exchange: gone, refused, or silent.
    int ExchangeFailureAdvice() const;
    // Sends one image block, resending it a bounded number of times; 1 when acknowledged.
    int WriteImageBlock(uint32_t offset, uint32_t length);

    IDialogView& m_view;
    IClock& m_clock;
    std::atomic<bool> m_bUpdateRunning{false};
    std::atomic<UpdateOutcome> m_lastOutcome{UpdateOutcome::kNone};
    IDeviceNoticeSink* m_noticeSink;
    // Device notices that arrived while the worker owned the link (DBT_* bits), replayed
    // when it ends.
    std::atomic<unsigned> m_dueNotices{0};
    // This update has delivered the whole image (the framed flow's stage 3 was reached).
    std::atomic<bool> m_bImageDelivered{false};
    // A read or write in this update found the controller gone.
    std::atomic<bool> m_bDeviceGone{false};
    // The controller acknowledged a command of this update with an error status.
    std::atomic<bool> m_bRefused{false};
};

// Worker thread procedures.
unsigned Usb_UpdateThread(void* parameter);
unsigned HostUpdateThread(void* parameter);
