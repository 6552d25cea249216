#include "image/image_file.h"

bool CImageFile::Open(const std::string& path)
{
    Close();
    m_failed = false;
    m_fp = std::fopen(path.c_str(), "rb");
    return m_fp != nullptr;
}

void CImageFile::Close()
{
    if (m_fp) std::fclose(m_fp);
    m_fp = nullptr;
}

bool CImageFile::Seek(uint64_t offset)
{
    if (!m_fp) return false;
    if (std::fseek(m_fp, long(offset), SEEK_SET) != 0) {
        m_failed = true;
        return false;
    }
    return true;
}

size_t CImageFile::Read(uint8_t* dest, size_t count)
{
    if (!m_fp) return 0;
    size_t n = std::fread(dest, 1, count, m_fp);
    if (n < count && std::ferror(m_fp)) m_failed = true;
    return n;
}

std::optional<uint64_t> CImageFile::Size()
{
    if (!m_fp) return std::nullopt;
    long here = std::ftell(m_fp);
    if (here < 0 || std::fseek(m_fp, 0, SEEK_END) != 0) return std::nullopt;
    long end = std::ftell(m_fp);
    std::fseek(m_fp, here, SEEK_SET);
    if (end < 0) return std::nullopt;
    return uint64_t(end);
}
