// Every fault a simulated controller can show, against a whole framed update: each ends in a
// defined outcome within a bounded virtual time, and success is claimed only for an image
// that went out whole.
#include "tests/flow/framed_flow_fixture.h"

#include "sim/sim_faults.h"

#include <map>

namespace {

struct FaultExpectation {
    const char* argument;  // for faults that take one
    UpdateOutcome outcome;
    const char* box;       // the last box's text starts with this
};

// How a framed update ends under each fault. A fault missing here fails the test: a new
// fault needs a decision about what it should do to this flow.
const std::map<std::string, FaultExpectation> kFramedExpectations = {
    {"silence", {nullptr, UpdateOutcome::kFailed, "Firmware update failure\n"}},
    // Faults of the command family leave a framed controller as it is.
    {"erase-busy", {"forever", UpdateOutcome::kSuccess, "\n Firmware upgraded! \n"}},
    {"stale-acks", {nullptr, UpdateOutcome::kSuccess, "\n Firmware upgraded! \n"}},
    {"status", {"5", UpdateOutcome::kSuccess, "\n Firmware upgraded! \n"}},
    {"fail-at", {"3", UpdateOutcome::kFailed, "Firmware update failure\n"}},
    {"unplug-at", {"3", UpdateOutcome::kFailed, "Firmware update failure\n"}},
    {"bad-first-byte", {nullptr, UpdateOutcome::kFailed, "Firmware update failure\n"}},
    {"firmware-type", {"7", UpdateOutcome::kFailed, "Firmware update failure, please handle work in BOOT mode\n"}},
    // Only the version query sees it; the update itself goes through.
    {"no-version", {nullptr, UpdateOutcome::kSuccess, "\n Firmware upgraded! \n"}},
    {"slow", {nullptr, UpdateOutcome::kSuccess, "\n Firmware upgraded! \n"}},
};

std::vector<std::string> FaultNames()
{
    std::vector<std::string> names;
    for (const SimFaultInfo& f : AllSimFaults()) names.push_back(f.name);
    return names;
}

class FramedFault : public FramedFlowTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(FramedFault, EndsInADefinedOutcome)
{
    const auto it = kFramedExpectations.find(GetParam());
    ASSERT_NE(it, kFramedExpectations.end()) << "no expectation for fault " << GetParam();
    const FaultExpectation& e = it->second;
    SimControllerOptions o;
    std::string error;
    ASSERT_TRUE(ApplySimFault(e.argument ? GetParam() + "=" + e.argument : GetParam(), o.faults, error)) << error;
    Attach(o);
    h.Init();
    const Bytes payload = WriteImage(h.ImagePath(), {.size = 150});
    Mark();
    // Real time only as a watchdog: a hang fails here instead of blocking the suite.
    ASSERT_TRUE(h.RunUpdate(h.ImagePath(), 10000)) << "the worker did not end";
    EXPECT_LE(ElapsedMs(), 30000u);
    EXPECT_FALSE(h.dlg->UpdateRunning());

    EXPECT_EQ(h.dlg->LastOutcome(), e.outcome);
    ASSERT_FALSE(h.view.BoxTexts().empty());
    const std::string last = h.view.BoxTexts().back();
    EXPECT_EQ(last.rfind(e.box, 0), 0u) << last;
    EXPECT_TRUE(Sim().ProtocolErrors().empty()) << Sim().ProtocolErrors().front();
    EXPECT_EQ(Lines().back(), "Exit Usb_UpdateThread\n");

    int successes = 0;
    for (const std::string& text : h.view.BoxTexts()) successes += text == kUpgraded;
    const bool whole = Sim().UpdateCompleted() && Sim().ReceivedImage() == payload;
    EXPECT_EQ(successes, whole ? 1 : 0);
    EXPECT_EQ(h.view.DoneLabelVisible(), whole);
    // The button follows the controller's presence once the worker has ended.
    EXPECT_EQ(h.view.ButtonEnabled(), !h.platform.EnumerateInterfaces().empty());
}

INSTANTIATE_TEST_SUITE_P(AllFaults, FramedFault, ::testing::ValuesIn(FaultNames()), [](const auto& info) {
    std::string name;
    for (char ch : info.param) name += ch == '-' ? '_' : ch;
    return name;
});

} // namespace
