#pragma once
// Builds firmware image files for tests: a 28-byte header from the fields given, then the
// payload (by default `size` bytes of a known pattern; set payload_bytes to make the file
// shorter or longer than its header says).
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct ImageSpec {
    uint16_t version = 123;
    uint16_t beta = 0;
    uint32_t address = 0x08004000;
    uint32_t size = 100;
    uint16_t revision = 4;
    std::optional<uint32_t> payload_bytes;  // default: size
    uint8_t filler = 0xEE;                  // header bytes 12-19 and 22-27
};

// The known payload pattern: byte k is (k * 7 + 3) & 0xFF.
std::vector<uint8_t> PatternPayload(uint32_t size);
std::vector<uint8_t> ImageBytes(const ImageSpec& layout);
// Writes the image to `path`; returns its payload as written.
std::vector<uint8_t> WriteImage(const std::string& path, const ImageSpec& layout);
void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes);
