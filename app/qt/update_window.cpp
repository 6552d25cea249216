#include "app/qt/update_window.h"

UpdateWindow::UpdateWindow(IHidPlatform& platform, IClock& clock)
    : model(view, platform, clock, &view.NoticeSink())
{
    view.Attach(&model);
}

UpdateWindow::~UpdateWindow()
{
    view.FinishRunningUpdate();
    view.Attach(nullptr);
}
