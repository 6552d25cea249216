#include "tests/support/image_fixture.h"

#include "base/le.h"

#include <fstream>
#include <stdexcept>

std::vector<uint8_t> PatternPayload(uint32_t size)
{
    std::vector<uint8_t> p(size);
    for (uint32_t k = 0; k < size; ++k) p[k] = uint8_t((k * 7 + 3) & 0xFF);
    return p;
}

std::vector<uint8_t> ImageBytes(const ImageSpec& layout)
{
    std::vector<uint8_t> bytes(28, layout.filler);
    StoreLe16(&bytes[0], layout.version);
    StoreLe16(&bytes[2], layout.beta);
    StoreLe32(&bytes[4], layout.address);
    StoreLe32(&bytes[8], layout.size);
    StoreLe16(&bytes[20], layout.revision);
    std::vector<uint8_t> payload = PatternPayload(layout.payload_bytes.value_or(layout.size));
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    return bytes;
}

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    if (!f) throw std::runtime_error("cannot write " + path);
}

std::vector<uint8_t> WriteImage(const std::string& path, const ImageSpec& layout)
{
    std::vector<uint8_t> bytes = ImageBytes(layout);
    WriteBytes(path, bytes);
    return std::vector<uint8_t>(bytes.begin() + 28, bytes.end());
}
