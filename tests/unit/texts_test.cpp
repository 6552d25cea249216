// The texts in both languages, and which language the locale environment selects.
#include "app/texts.h"
#include "app/ui_language.h"
#include "tests/support/env_guard.h"

#include <gtest/gtest.h>

#include <map>

namespace {

const char* const kLocaleVars[] = {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"};

struct LocaleCase {
    const char* name;
    std::map<std::string, std::string> env; // unset unless listed
    bool chinese;
};

void PrintTo(const LocaleCase& c, std::ostream* os) { *os << c.name; }

const LocaleCase kLocaleCases[] = {
    {"unset", {}, false},
    {"lang_zh_CN", {{"LANG", "zh_CN"}}, true},
    {"lang_zh_CN_utf8", {{"LANG", "zh_CN.UTF-8"}}, true},
    {"lang_zh_CN_utf8_lower", {{"LANG", "zh_CN.utf8"}}, true},
    {"lang_zh_CN_gb18030", {{"LANG", "zh_CN.GB18030"}}, true},
    {"lang_zh_CN_gbk_modifier", {{"LANG", "zh_CN.GBK@stroke"}}, true},
    {"lang_bcp47_zh_CN", {{"LANG", "zh-CN"}}, true},
    {"lang_zh_TW", {{"LANG", "zh_TW.UTF-8"}}, false},
    {"lang_zh_HK", {{"LANG", "zh_HK.UTF-8"}}, false},
    {"lang_zh_SG", {{"LANG", "zh_SG.UTF-8"}}, false},
    {"lang_bare_zh", {{"LANG", "zh"}}, false},
    {"lang_en_US", {{"LANG", "en_US.UTF-8"}}, false},
    {"lang_C", {{"LANG", "C"}}, false},
    {"lang_zh_CNX_is_not_zh_CN", {{"LANG", "zh_CNX"}}, false},
    // Precedence: LANGUAGE, LC_ALL, LC_MESSAGES, LANG; the first set and non-empty one wins.
    {"language_over_lang", {{"LANGUAGE", "zh_CN:en_US"}, {"LANG", "en_US.UTF-8"}}, true},
    {"language_first_entry_only", {{"LANGUAGE", "en_US:zh_CN"}, {"LANG", "zh_CN.UTF-8"}}, false},
    {"empty_language_skipped", {{"LANGUAGE", ""}, {"LANG", "zh_CN.UTF-8"}}, true},
    {"lc_all_over_lang", {{"LC_ALL", "en_US.UTF-8"}, {"LANG", "zh_CN.UTF-8"}}, false},
    {"lc_all_over_lc_messages", {{"LC_ALL", "zh_CN.UTF-8"}, {"LC_MESSAGES", "en_US.UTF-8"}}, true},
    {"lc_messages_over_lang", {{"LC_MESSAGES", "zh_CN.UTF-8"}, {"LANG", "en_US.UTF-8"}}, true},
    {"lc_messages_C_over_lang", {{"LC_MESSAGES", "C"}, {"LANG", "zh_CN.UTF-8"}}, false},
};

class LanguageFromLocale : public ::testing::TestWithParam<LocaleCase> {};

TEST_P(LanguageFromLocale, PicksTheTextSet)
{
    EnvGuard env;
    for (const char* v : kLocaleVars) {
        auto it = GetParam().env.find(v);
        env.Set(v, it == GetParam().env.end() ? std::nullopt : std::optional<std::string>(it->second));
    }
    EXPECT_EQ(GetUserDefaultUILanguage(), GetParam().chinese ? LANG_ZH_CN : LANG_EN_US);
    EXPECT_EQ(LoadLocalizedString(TEXT_USB_UPDATE), GetParam().chinese ? "USB 升级" : "USB Update");
}

INSTANTIATE_TEST_SUITE_P(Locales, LanguageFromLocale, ::testing::ValuesIn(kLocaleCases),
                         [](const auto& info) { return std::string(info.param.name); });

struct TextCase {
    int index;
    const char* zh;
    const char* en;
};

const TextCase kTexts[] = {
    {3, "文件类型中显示的内容", "File type"},
    {4, "升级成功。", "Firmware upgraded!"},
    {5, "固件版本", "Fw"},
    {6, "Korvant Update v2.00", "Korvant Update v2.00"},
    {7, "固件更新失败", "Firmware update failure"},
    {11, "固件更新失败,请将手柄工作在 BOOT 模式", "Firmware update failure, please handle work in BOOT mode"},
    {12, "USB 升级", "USB Update"},
    {14, "1. 按住配对键并插入PC。\r\n\r\n2. 点击 USB 升级按钮，选择升级文件升级。",
     "1. Hold down pair button and connect to PC via USB cable.\r\n\r\n2. Click \"USB Update\" button and select "
     "firmware file."},
};

std::string InLanguage(bool chinese, int index)
{
    EnvGuard env;
    for (const char* v : kLocaleVars) env.Set(v, std::nullopt);
    env.Set("LANG", chinese ? "zh_CN.UTF-8" : "en_US.UTF-8");
    return LoadLocalizedString(index);
}

TEST(LocalizedTexts, EveryUsedIndexInBothLanguages)
{
    for (const TextCase& t : kTexts) {
        SCOPED_TRACE(t.index);
        EXPECT_EQ(InLanguage(true, t.index), t.zh);
        EXPECT_EQ(InLanguage(false, t.index), t.en);
        // The table holds them under the documented string ids.
        ASSERT_NE(FindStringResource(IDS_ZH_BASE + t.index), nullptr);
        EXPECT_STREQ(FindStringResource(IDS_ZH_BASE + t.index), t.zh);
        EXPECT_STREQ(FindStringResource(IDS_EN_BASE + t.index), t.en);
    }
}

TEST(LocalizedTexts, IndexesWithoutTextAreEmptyInBothLanguages)
{
    for (int index : {-1, 0, 1, 2, 8, 9, 10, 13, 15, 16, 17, 99, 1000}) {
        SCOPED_TRACE(index);
        EXPECT_EQ(InLanguage(true, index), "");
        EXPECT_EQ(InLanguage(false, index), "");
    }
}

TEST(LocalizedTexts, OwnTextsExistInBothLanguagesAndStayOutOfTheOriginalRanges)
{
    for (int index : {TEXT_IMAGE_TOO_SHORT, TEXT_IMAGE_NO_PAYLOAD, TEXT_IMAGE_TRUNCATED, TEXT_IMAGE_UNREADABLE,
                      TEXT_CONTROLLER_SILENT, TEXT_DEVICE_GONE, TEXT_NO_PERMISSION, TEXT_CONTROLLER_REFUSED,
                      TEXT_CLOSE_REFUSED}) {
        SCOPED_TRACE(index);
        const std::string zh = InLanguage(true, index), en = InLanguage(false, index);
        EXPECT_FALSE(zh.empty());
        EXPECT_FALSE(en.empty());
        EXPECT_NE(zh, en);
        for (bool chinese : {true, false}) {
            const int id = LocalizedStringId(index, chinese);
            EXPECT_TRUE(id > IDS_EN_BASE + 16 || id < IDS_ZH_BASE) << id;
        }
    }
}

TEST(LocalizedTexts, LanguageIsAskedAnewAtEveryCall)
{
    EXPECT_EQ(InLanguage(true, TEXT_UPGRADED), "升级成功。");
    EXPECT_EQ(InLanguage(false, TEXT_UPGRADED), "Firmware upgraded!");
    EXPECT_EQ(InLanguage(true, TEXT_UPGRADED), "升级成功。");
}

} // namespace
