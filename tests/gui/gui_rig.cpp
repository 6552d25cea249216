#include "tests/gui/gui_rig.h"

#include "tests/support/flow_harness.h"

#include <QCoreApplication>
#include <QTest>

#include <filesystem>

GuiRig::GuiRig(const char* lang)
{
    env.Set("LANGUAGE", std::nullopt);
    env.Set("LC_ALL", std::nullopt);
    env.Set("LC_MESSAGES", std::nullopt);
    env.Set("LANG", lang);
    ResetProcessState();
    // The file dialog opens in the current directory.
    std::filesystem::current_path(dir.Path());
}

GuiRig::~GuiRig()
{
    window.reset();
    std::filesystem::current_path(std::filesystem::temp_directory_path());
}

std::string GuiRig::Attach(SimFamily family, SimControllerOptions options)
{
    return platform.Attach(MakeController(family, options));
}

void GuiRig::Start(bool show)
{
    window = std::make_unique<UpdateWindow>(platform, clock);
    View().SetNativeFileDialog(false);
    Model().OnInitDialog();
    if (show) {
        View().show();
        QVERIFY(QTest::qWaitForWindowExposed(&View()));
    }
}

void GuiRig::Settle()
{
    for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
}
