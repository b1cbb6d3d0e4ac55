#include "profile/file_util.h"

#include "support/test_support.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tavik {
namespace {

using test::fileBytes;
using test::TempDir;
using test::writeBytes;

std::vector<std::string> entriesOf(const std::string& dir)
{
    std::vector<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (const dirent* e = ::readdir(d))
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
                names.push_back(e->d_name);
        ::closedir(d);
    }
    return names;
}

TEST(FileUtil, AtomicWriteReplacesTheFilePrivateAndLeavesNoTemporaryBehind)
{
    TempDir dir;
    std::string path = dir.path() + "f.ini";
    writeBytes(path, "old contents");
    ::chmod(path.c_str(), 0644);
    writeFileAtomically(path, std::string("new\0bytes\xFF", 10));
    EXPECT_EQ(fileBytes(path), std::string("new\0bytes\xFF", 10));
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(entriesOf(dir.path()), (std::vector<std::string>{"f.ini"}));
}

TEST(FileUtil, CopyOntoTheSameFileByAnotherNameKeepsItWhole)
{
    TempDir dir;
    makePrivateDirectories(dir.path() + "sub");
    std::string path = dir.path() + "sub/mime.def";
    writeBytes(path, "registry");
    copyFileAtomically(path, dir.path() + "sub/../sub/./mime.def");
    ASSERT_EQ(::symlink(path.c_str(), (dir.path() + "link.def").c_str()), 0);
    copyFileAtomically(dir.path() + "link.def", path);
    EXPECT_EQ(fileBytes(path), "registry");
}

TEST(FileUtil, MakePrivateDirectoriesCreatesParentsAndRefusesAFileInTheWay)
{
    TempDir dir;
    makePrivateDirectories(dir.path() + "a/b/c/");
    struct stat st;
    ASSERT_EQ(::stat((dir.path() + "a/b/c").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    writeBytes(dir.path() + "file", "x");
    EXPECT_THROW(makePrivateDirectories(dir.path() + "file/sub"), FileError);
}

} // namespace
} // namespace tavik
