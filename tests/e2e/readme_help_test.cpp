// The README's CLI reference is korvant-flash's own --help; this catches the day they drift.
#include "tests/support/child_process.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace {

std::string ReadmeBlock()
{
    std::ifstream f(std::string(KORVANT_SOURCE_DIR) + "/README.md");
    std::stringstream all;
    all << f.rdbuf();
    const std::string text = all.str();
    const std::string begin = "<!-- BEGIN korvant-flash --help -->\n```\n";
    const std::string end = "```\n<!-- END korvant-flash --help -->";
    const size_t b = text.find(begin);
    const size_t e = text.find(end);
    if (b == std::string::npos || e == std::string::npos || e < b) return "(no reference block in README.md)";
    return text.substr(b + begin.size(), e - b - begin.size());
}

TEST(Readme, CliReferenceIsTheProgramsOwnHelp)
{
    const ProcessResult r = RunProcess({BuildBinary("app/cli/korvant-flash"), "--help"});
    ASSERT_EQ(r.exit_code, 0);
    EXPECT_EQ(ReadmeBlock(), r.out) << "run scripts/update-readme-help to refresh README.md";
}

} // namespace
