#pragma once
// The dialog model with its link open to a scripted command-report controller, for tests
// that call the exchanges (EraseArea, WriteBlock, ...) directly on the virtual clock.
// No dialog start-up and no worker: the test thread is the link's only user.
#include "app/update_dlg.h"
#include "base/virtual_clock.h"
#include "protocol/command_report.h"
#include "sim/sim_hid_platform.h"
#include "tests/support/env_guard.h"
#include "tests/support/scripted_command_controller.h"
#include "tests/support/test_view.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

class CommandLinkTest : public ::testing::Test {
protected:
    CommandLinkTest()
    {
        m_env.Set("LANGUAGE", "en_US");
        // Process-wide: one test's information reply must not leak into the next.
        std::memset(g_deviceInfo, 0, sizeof g_deviceInfo);
        auto scripted = std::make_unique<ScriptedCommandController>();
        m_ctl = scripted.get();
        m_path = m_platform.Attach(std::move(scripted), 0);
        m_dlg = std::make_unique<CUpdateDlg>(m_view, m_platform, m_clock);
    }

    // Opens the link as the click and the version query do: read timeout 200 ms.
    void OpenLink()
    {
        ASSERT_EQ(m_dlg->m_hid.CheckDevice(), 1);
        ASSERT_EQ(m_dlg->m_hid.Open(), 1);
        ASSERT_EQ(g_bDirectDevice.load(), 1);
    }

    void TearDown() override
    {
        EXPECT_THAT(m_ctl->ProtocolErrors(), ::testing::ElementsAre());
        EXPECT_TRUE(m_ctl->ScriptDone()) << "the tool sent fewer reports than the script expects";
    }

    std::vector<SentCommand> Sent() const
    {
        std::vector<SentCommand> out;
        for (const auto& r : m_ctl->ReceivedReports()) out.push_back(DecodeSent(r));
        return out;
    }

    EnvGuard m_env;
    VirtualClock m_clock;
    SimHidPlatform m_platform{m_clock};
    TestView m_view;
    ScriptedCommandController* m_ctl = nullptr;
    std::string m_path;
    std::unique_ptr<CUpdateDlg> m_dlg;
};
