// A whole update per family, end to end through the dialog model: the shortest proof that
// the flows, the simulators and the harness fit together.
#include "tests/support/flow_harness.h"

#include <gtest/gtest.h>

namespace {

struct FamilyCase {
    const char* name;
    SimFamily family;
};

void PrintTo(const FamilyCase& c, std::ostream* os) { *os << c.name; }

class WholeUpdate : public ::testing::TestWithParam<FamilyCase> {};

TEST_P(WholeUpdate, DeliversTheImageAndSaysSo)
{
    FlowHarness h;
    const std::string dev = h.Attach(GetParam().family);
    h.Init();
    const auto payload = WriteImage(h.ImagePath(), {.version = 106, .size = 1000, .revision = 7});

    ASSERT_TRUE(h.RunUpdate(h.ImagePath()));

    SimController& c = h.Controller(dev);
    EXPECT_TRUE(c.ProtocolErrors().empty()) << c.ProtocolErrors().front();
    EXPECT_TRUE(c.UpdateCompleted());
    EXPECT_EQ(c.ReceivedImage(), payload);
    EXPECT_EQ(h.dlg->LastOutcome(), UpdateOutcome::kSuccess);
    ASSERT_FALSE(h.view.Boxes().empty());
    EXPECT_EQ(h.view.Boxes().back().text, "\n Firmware upgraded! \n");
    EXPECT_TRUE(h.view.DoneLabelVisible());
    EXPECT_EQ(h.view.ProgressPos(), 0);
    EXPECT_TRUE(h.view.ButtonEnabled());
}

INSTANTIATE_TEST_SUITE_P(Families, WholeUpdate,
                         ::testing::Values(FamilyCase{"framed", SimFamily::kFramed},
                                           FamilyCase{"command", SimFamily::kCommand}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
