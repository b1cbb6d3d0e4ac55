// Helpers shared by the tests: private temporary directories and byte-level file access.
#pragma once

#include <string>

namespace tavik::test {

// A fresh directory under $TMPDIR, removed with everything in it when the object goes.
// path() ends in "/".
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// The whole file as bytes (empty when missing).
std::string fileBytes(const std::string& path);
// Writes bytes to a file, replacing it.
void writeBytes(const std::string& path, const std::string& bytes);
// Directory of the built executables ($TAVIK_BIN_DIR, else the build tree's bin/), ending in "/".
std::string binDir();
// Directory of the regression inputs ($TAVIK_TEST_DATA, else tests/data/ of the sources).
std::string testDataDir();

} // namespace tavik::test
