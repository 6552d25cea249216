#include "base/strprintf.h"

#include <clocale>
#include <cstdio>
#include <locale.h>

namespace {

// One "C" locale object for the process; uselocale() switches only the calling thread.
locale_t CLocale()
{
    static locale_t loc = newlocale(LC_ALL_MASK, "C", locale_t(0));
    return loc;
}

} // namespace

std::string VStrPrintf(const char* format, va_list ap)
{
    locale_t previous = uselocale(CLocale());
    va_list copy;
    va_copy(copy, ap);
    char small[256];
    int n = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    std::string out;
    if (n < 0) {
        out.clear();
    } else if (size_t(n) < sizeof small) {
        out.assign(small, size_t(n));
    } else {
        out.resize(size_t(n) + 1);
        std::vsnprintf(out.data(), out.size(), format, ap);
        out.resize(size_t(n));
    }
    uselocale(previous);
    return out;
}

std::string StrPrintf(const char* format, ...)
{
    va_list ap;
    va_start(ap, format);
    std::string out = VStrPrintf(format, ap);
    va_end(ap);
    return out;
}
