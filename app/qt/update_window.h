#pragma once
// The dialog as the program runs it: the window and the model behind it, built and torn
// down so that neither outlives what it reaches. The model goes first (it joins its worker
// and stops the device watch that posts into the window), but only once no update runs,
// because a worker waiting on the GUI thread could never be joined from it.
#include "app/qt/qt_dialog_view.h"
#include "app/update_dlg.h"
#include "base/clock.h"
#include "hid/hid_platform.h"

class UpdateWindow {
public:
    explicit UpdateWindow(IHidPlatform& platform, IClock& clock = SystemClock());
    ~UpdateWindow();
    UpdateWindow(const UpdateWindow&) = delete;
    UpdateWindow& operator=(const UpdateWindow&) = delete;

    QtDialogView view;
    CUpdateDlg model;
};
