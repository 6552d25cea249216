#include "tests/support/flow_harness.h"

#include "protocol/command_report.h"

#include <cstring>

void ResetProcessState()
{
    std::memset(g_outReport, 0, sizeof g_outReport);
    std::memset(g_inReport, 0, sizeof g_inReport);
    std::memset(g_deviceInfo, 0, sizeof g_deviceInfo);
    g_bDirectDevice = 0;
    g_nDeviceVersion = 0;
    g_bStopUpdate = 0;
    g_nUpdateStage = 0;
    g_nFirmwareType = 0;
}

FlowHarness::FlowHarness()
{
    // English texts whatever the machine's locale.
    env.Set("LANGUAGE", std::nullopt);
    env.Set("LC_ALL", "C");
    ResetProcessState();
    dlg = std::make_unique<CUpdateDlg>(view, platform, clock, &notices);
}

FlowHarness::~FlowHarness() { dlg.reset(); }

std::string FlowHarness::Attach(SimFamily family, SimControllerOptions options)
{
    return platform.Attach(MakeController(family, options));
}

bool FlowHarness::Click(int timeout_ms)
{
    const int before = view.UpdateEndedCount();
    dlg->OnBnClickedUsbUpdate();
    if (!dlg->UpdateRunning() && view.UpdateEndedCount() == before) return false;
    if (!view.WaitUpdateEnded(before + 1, timeout_ms)) return false;
    dlg->OnUpdateThreadEnded();
    return true;
}

bool FlowHarness::RunUpdate(const std::string& image_path, int timeout_ms)
{
    view.QueueFile(image_path);
    view.QueueAnswer(MsgBoxResult::kOk);
    return Click(timeout_ms);
}

int FlowHarness::PumpNotices()
{
    int n = 0;
    for (uint32_t event : notices.Take()) {
        dlg->OnDeviceChange(event, 0);
        ++n;
    }
    return n;
}
