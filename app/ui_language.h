#pragma once
// The user's interface language as a 16-bit language identifier (0x0804 Chinese as used
// in the People's Republic of China, 0x0409 English (United States), ...). Each platform
// file answers it its own way; it is asked anew at every call, never cached.
#include <cstdint>

constexpr uint16_t LANG_ZH_CN = 0x0804;
constexpr uint16_t LANG_EN_US = 0x0409;

uint16_t GetUserDefaultUILanguage();
