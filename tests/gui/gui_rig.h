#pragma once
// One Qt dialog over simulated controllers on virtual time, for the GUI tests:
//   GuiRig rig;                       // English texts; GuiRig("zh_CN.UTF-8") for Chinese
//   rig.Attach(SimFamily::kCommand);
//   rig.Start();                      // OnInitDialog, then shown
// Notices from the simulator reach the window the way the real watcher's do: through the
// window's notice sink, queued to the GUI thread.
#include "app/qt/update_window.h"
#include "base/virtual_clock.h"
#include "sim/sim_hid_platform.h"
#include "tests/support/capture_debug.h"
#include "tests/support/env_guard.h"
#include "tests/support/temp_dir.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

#include <memory>
#include <string>

class GuiRig {
public:
    // `lang`: the LANG the texts are chosen by (LANGUAGE, LC_ALL and LC_MESSAGES unset).
    explicit GuiRig(const char* lang = "en_US.UTF-8");
    ~GuiRig();

    std::string Attach(SimFamily family, SimControllerOptions options = {});
    // Builds the window, runs the start-up and (unless told not to) shows it.
    void Start(bool show = true);
    // Lets the GUI thread handle what is queued for it (notices, the end of an update).
    static void Settle();

    QtDialogView& View() { return window->view; }
    CUpdateDlg& Model() { return window->model; }
    QPushButton* Button() { return View().ButtonWidget(); }
    QProgressBar* Bar() { return View().ProgressWidget(); }
    QLabel* Done() { return View().DoneLabelWidget(); }
    QLabel* Info() { return View().InfoLabelWidget(); }
    QString Title() { return View().windowTitle(); }

    // The environment is set first and put back last: the worker reads it for every text.
    EnvGuard env;
    CaptureDebug debug;
    TempDir dir;
    VirtualClock clock;
    SimHidPlatform platform{clock};
    std::unique_ptr<UpdateWindow> window;
};
