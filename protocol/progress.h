#pragma once
// The progress bar's position in percent of the payload. 64-bit, so a large image cannot
// wrap the product around; the value is not limited to 100 (a file longer than its header
// says shows more).
#include <cstdint>

inline int ProgressPercent(uint32_t sent, uint32_t size)
{
    return size == 0 ? 0 : int(uint64_t(sent) * 100 / size);
}
