#pragma once
// One dialog model over simulated controllers on virtual time: what a flow test needs.
//   FlowHarness h;
//   std::string dev = h.Attach(SimFamily::kCommand);
//   h.Init();                                   // OnInitDialog
//   auto payload = WriteImage(h.ImagePath(), {.size = 100});
//   ASSERT_TRUE(h.RunUpdate(h.ImagePath()));    // file chosen, OK answered, worker joined
// Device notices that the link's watcher raises are queued and handed to OnDeviceChange by
// PumpNotices(), on the test's thread, as the dialog's thread would.
#include "app/update_dlg.h"
#include "base/virtual_clock.h"
#include "sim/sim_hid_platform.h"
#include "tests/support/capture_debug.h"
#include "tests/support/env_guard.h"
#include "tests/support/image_fixture.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_view.h"

#include <deque>
#include <memory>
#include <mutex>
#include <string>

class QueuedNotices final : public IDeviceNoticeSink {
public:
    void PostDeviceChange(uint32_t event) override
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_events.push_back(event);
    }
    std::deque<uint32_t> Take()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return std::exchange(m_events, {});
    }

private:
    std::mutex m_lock;
    std::deque<uint32_t> m_events;
};

// Puts every process-wide value back to its program-start state.
void ResetProcessState();

class FlowHarness {
public:
    FlowHarness();
    ~FlowHarness();

    std::string Attach(SimFamily family, SimControllerOptions options = {});
    SimController& Controller(const std::string& path) { return *platform.Controller(path); }
    void Init() { dlg->OnInitDialog(); }
    std::string ImagePath() const { return dir.File("fw.dat"); }
    // Clicks the button; returns after the worker has ended and been joined. False when no
    // worker started, or it did not end within `timeout_ms` of real time (a hang).
    bool Click(int timeout_ms = 20000);
    // Queues the file and OK for the confirmation, then clicks.
    bool RunUpdate(const std::string& image_path, int timeout_ms = 20000);
    // Hands queued device notices to OnDeviceChange; returns how many.
    int PumpNotices();

    EnvGuard env;
    CaptureDebug debug;
    TempDir dir;
    VirtualClock clock;
    SimHidPlatform platform{clock};
    TestView view;
    QueuedNotices notices;
    std::unique_ptr<CUpdateDlg> dlg;
};
