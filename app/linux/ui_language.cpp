// Linux has no single UI-language setting: the locale environment is it. The variables are
// taken in the order gettext gives them for messages (LANGUAGE, LC_ALL, LC_MESSAGES, LANG);
// the first that is set and non-empty decides, and of LANGUAGE's colon list only its first
// entry counts.
//
// Only Simplified Chinese as written for mainland China selects the Chinese texts:
// zh_CN in any codeset or modifier (zh_CN, zh_CN.UTF-8, zh_CN.GB18030, zh_CN.gbk@x) and the
// BCP-47 spelling zh-CN. Every other value is English, zh_TW, zh_HK and zh_SG included. A
// bare "zh" names no region and, like the neutral Chinese identifier that is not 0x0804,
// gets English; gettext programs that ship a zh_CN catalogue behave the same way.
#include "app/ui_language.h"

#include <cctype>
#include <cstdlib>
#include <string>

namespace {

std::string FirstLocaleSetting()
{
    for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* v = std::getenv(name);
        if (!v || !*v) continue;
        std::string value(v);
        if (std::string(name) == "LANGUAGE") value = value.substr(0, value.find(':'));
        if (!value.empty()) return value;
    }
    return {};
}

bool IsMainlandChinese(const std::string& locale)
{
    // language[_territory][.codeset][@modifier]
    std::string head = locale.substr(0, locale.find_first_of(".@"));
    if (head.size() != 5) return false;
    auto lower = [](char c) { return char(std::tolower(static_cast<unsigned char>(c))); };
    return lower(head[0]) == 'z' && lower(head[1]) == 'h' && (head[2] == '_' || head[2] == '-') &&
           lower(head[3]) == 'c' && lower(head[4]) == 'n';
}

} // namespace

uint16_t GetUserDefaultUILanguage()
{
    return IsMainlandChinese(FirstLocaleSetting()) ? LANG_ZH_CN : LANG_EN_US;
}
