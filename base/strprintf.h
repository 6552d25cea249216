#pragma once
// printf-style formatting that always uses the C locale's number format, whatever locale
// the front end's toolkit switched the process to: titles and confirmation lines must read
// "v1.05", never "v1,05".
#include <cstdarg>
#include <string>

std::string StrPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string VStrPrintf(const char* format, va_list ap);
