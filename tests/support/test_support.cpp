#include "support/test_support.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace tavik::test {

TempDir::TempDir()
{
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/tavik-test-XXXXXX";
    if (!::mkdtemp(tmpl.data()))
        throw std::runtime_error("cannot create a temporary directory");
    path_ = tmpl + "/";
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string fileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeBytes(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string binDir()
{
    const char* d = std::getenv("TAVIK_BIN_DIR");
    if (d && *d)
        return std::string(d) + "/";
#ifdef TAVIK_BUILD_BIN_DIR
    return std::string(TAVIK_BUILD_BIN_DIR) + "/";
#else
    return "./";
#endif
}

std::string testDataDir()
{
    const char* d = std::getenv("TAVIK_TEST_DATA");
    if (d && *d)
        return std::string(d) + "/";
#ifdef TAVIK_SOURCE_TEST_DATA
    return std::string(TAVIK_SOURCE_TEST_DATA) + "/";
#else
    return "tests/data/";
#endif
}

} // namespace tavik::test
