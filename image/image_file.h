#pragma once
// The image file as the update flows stream it: opened by path, positioned, read in pieces.
// A read error and the end of the file both read as 0 bytes; Failed() tells them apart.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

class CImageFile {
public:
    CImageFile() = default;
    ~CImageFile() { Close(); }
    CImageFile(const CImageFile&) = delete;
    CImageFile& operator=(const CImageFile&) = delete;

    bool Open(const std::string& path);
    bool IsOpen() const { return m_fp != nullptr; }
    // Harmless when not open.
    void Close();
    bool Seek(uint64_t offset);
    // Up to `count` bytes; fewer at the end of the file, 0 when not open or on error.
    size_t Read(uint8_t* dest, size_t count);
    bool Failed() const { return m_failed; }
    std::optional<uint64_t> Size();

private:
    std::FILE* m_fp = nullptr;
    bool m_failed = false;
};
