// Writes the bundled example firmware image: version 1.20, release, revision 7, loaded at
// 0x08004000, with a payload of 10,000 bytes (not a multiple of either protocol's piece size,
// so the last piece and the last block are short). Payload byte k is the low byte of a fixed
// linear congruential sequence, so anyone can regenerate and compare it.
//
//   korvant-make-example OUT.dat [--size N] [--version V] [--beta B] [--revision R] [--address A]
#include "base/le.h"
#include "image/firmware_image.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<uint8_t> ExamplePayload(uint32_t size)
{
    std::vector<uint8_t> payload(size);
    uint32_t x = 0x4B565254; // fixed seed
    for (uint32_t k = 0; k < size; ++k) {
        x = x * 1664525u + 1013904223u;
        payload[k] = uint8_t(x >> 24);
    }
    return payload;
}

bool ParseU32(const char* text, uint32_t& out)
{
    char* end = nullptr;
    unsigned long long v = std::strtoull(text, &end, 0);
    if (!*text || *end || v > 0xFFFFFFFFull) return false;
    out = uint32_t(v);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2 || std::strcmp(argv[1], "--help") == 0) {
        std::fprintf(stderr, "usage: %s OUT.dat [--size N] [--version X100] [--beta B] [--revision R] [--address A]\n",
                     argv[0]);
        return 2;
    }
    uint32_t size = 10000, version = 120, beta = 0, revision = 7, address = 0x08004000;
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string opt = argv[i];
        uint32_t* target = opt == "--size" ? &size : opt == "--version" ? &version : opt == "--beta" ? &beta
                         : opt == "--revision" ? &revision : opt == "--address" ? &address : nullptr;
        if (!target || !ParseU32(argv[i + 1], *target)) {
            std::fprintf(stderr, "%s: bad option %s\n", argv[0], argv[i]);
            return 2;
        }
    }
    std::vector<uint8_t> bytes(IMAGE_HEADER_SIZE, 0);
    StoreLe16(&bytes[IMAGE_OFFSET_VERSION], uint16_t(version));
    StoreLe16(&bytes[IMAGE_OFFSET_BETA], uint16_t(beta));
    StoreLe32(&bytes[IMAGE_OFFSET_ADDRESS], address);
    StoreLe32(&bytes[IMAGE_OFFSET_SIZE], size);
    StoreLe16(&bytes[IMAGE_OFFSET_REVISION], uint16_t(revision));
    const std::vector<uint8_t> payload = ExamplePayload(size);
    bytes.insert(bytes.end(), payload.begin(), payload.end());

    const std::string out = argv[1];
    const std::string tmp = out + ".tmp";
    FILE* f = std::fopen(tmp.c_str(), "wb");
    if (!f || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || std::fclose(f) != 0) {
        std::fprintf(stderr, "%s: cannot write %s\n", argv[0], tmp.c_str());
        return 1;
    }
    if (std::rename(tmp.c_str(), out.c_str()) != 0) {
        std::fprintf(stderr, "%s: cannot write %s\n", argv[0], out.c_str());
        return 1;
    }
    return 0;
}
