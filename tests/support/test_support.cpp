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
    return d ? std::string(d) + "/" : std::string("./");
}

} // namespace tavik::test
