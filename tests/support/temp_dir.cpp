#include "tests/support/temp_dir.h"

#include <cstdlib>
#include <stdexcept>

TempDir::TempDir()
{
    std::string base = (std::filesystem::temp_directory_path() / "korvant-test-XXXXXX").string();
    if (!::mkdtemp(base.data())) throw std::runtime_error("mkdtemp failed");
    m_path = base;
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}
