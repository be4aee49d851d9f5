// Replays the kept fuzzing corpus, so what the fuzzers once found stays found.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "tests/fuzz/FuzzTargets.h"
#include "tests/support/NamedCase.h"

namespace {

struct Target : NamedCase {
    int (*run)(const std::uint8_t*, std::size_t);
};
class CorpusReplay : public ::testing::TestWithParam<Target> {};

TEST_P(CorpusReplay, EveryKeptInputPasses) {
    const auto dir = std::filesystem::path(KIRIHA_CORPUS_DIR) / GetParam().name;
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        std::ifstream in(entry.path(), std::ios::binary);
        const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
        GetParam().run(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
        ++files;
    }
    EXPECT_GT(files, 0);
}

INSTANTIATE_TEST_SUITE_P(All, CorpusReplay,
                         ::testing::Values(Target{"linelist", fuzzLineList}, Target{"normalise", fuzzNormalise},
                                           Target{"tidy", fuzzTidy}, Target{"cp932", fuzzCp932}),
                         caseName);

}  // namespace
