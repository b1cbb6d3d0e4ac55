// Replays every saved fuzz input through the fuzz targets' own entry functions in the normal
// build: the regression inputs under tests/data/fuzz/<target>/ (each named after what it broke)
// and the seed corpus under fuzz/corpus/<target>/. A finding fails the test with its message.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include "fuzz_sessions.h"
#include "fuzz_targets.h"
#include "support/test_support.h"

namespace fs = std::filesystem;

namespace tavik {
// Failure lines name the target instead of dumping its bytes.
void PrintTo(const FuzzTarget& target, std::ostream* os) { *os << target.name; }
} // namespace tavik

namespace {

std::string corpusRoot()
{
#ifdef TAVIK_FUZZ_CORPUS_DIR
    return TAVIK_FUZZ_CORPUS_DIR "/";
#else
    return tavik::test::testDataDir() + "../../fuzz/corpus/";
#endif
}

std::vector<fs::path> inputsIn(const std::string& dir)
{
    std::vector<fs::path> files;
    std::error_code ec;
    if (!fs::is_directory(dir, ec))
        return files;
    for (const auto& e : fs::directory_iterator(dir))
        if (e.is_regular_file())
            files.push_back(e.path());
    std::sort(files.begin(), files.end());
    return files;
}

std::string bytesOf(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void replay(const tavik::FuzzTarget& target, const std::vector<fs::path>& files)
{
    for (const auto& file : files) {
        SCOPED_TRACE(file.string());
        const std::string bytes = bytesOf(file);
        try {
            target.entry(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
        } catch (const std::exception& e) {
            ADD_FAILURE() << file.filename().string() << ": " << e.what();
        }
    }
}

class FuzzReplay : public ::testing::TestWithParam<tavik::FuzzTarget> {};

TEST_P(FuzzReplay, RegressionInputsPass)
{
    replay(GetParam(), inputsIn(tavik::test::testDataDir() + "fuzz/" + GetParam().name));
}

TEST_P(FuzzReplay, SeedCorpusPasses)
{
    const std::vector<fs::path> seeds = inputsIn(corpusRoot() + GetParam().name);
    // A target without seeds starts from nothing and its replay would prove nothing.
    ASSERT_FALSE(seeds.empty()) << "no seeds in " << corpusRoot() << GetParam().name;
    replay(GetParam(), seeds);
}

// The part separator splits, and an input without it is one part.
TEST(FuzzInput, SplitsAtTheSeparatorUpToTheLimit)
{
    const std::string in = "a|PART|b|PART||PART|c";
    const auto* p = reinterpret_cast<const std::uint8_t*>(in.data());
    EXPECT_EQ(tavik::splitFuzzInput(p, in.size(), 8), (std::vector<std::string>{"a", "b", "", "c"}));
    EXPECT_EQ(tavik::splitFuzzInput(p, in.size(), 2), (std::vector<std::string>{"a", "b|PART||PART|c"}));
    EXPECT_EQ(tavik::splitFuzzInput(p, 1, 8), (std::vector<std::string>{"a"}));
    EXPECT_EQ(tavik::splitFuzzInput(nullptr, 0, 8), (std::vector<std::string>{""}));
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzReplay, ::testing::ValuesIn(tavik::fuzzTargets()),
                         [](const ::testing::TestParamInfo<tavik::FuzzTarget>& info) {
                             return std::string(info.param.name);
                         });
INSTANTIATE_TEST_SUITE_P(Sessions, FuzzReplay, ::testing::ValuesIn(tavik::sessionFuzzTargets()),
                         [](const ::testing::TestParamInfo<tavik::FuzzTarget>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
