#include <gtest/gtest.h>

#include <random>

#include "lists/ShiftJis.h"
#include "lists/Tidy.h"
#include "tests/support/NamedCase.h"
#include "tests/support/TidyOracle.h"

namespace {

const std::string dead(prefixes::kDead), ok(prefixes::kWorking), aborted(prefixes::kAborted);

struct TidyCase : NamedCase {
    std::string before;
    std::string after;
};
class Tidy : public ::testing::TestWithParam<TidyCase> {};

TEST_P(Tidy, RemovesDeadAndStripsWorking) {
    EXPECT_EQ(tidyResults(GetParam().before), GetParam().after);
    EXPECT_EQ(tidyLineByLine(GetParam().before), GetParam().after);
}

const std::string longProxy = std::string(5000, 'p') + ":80";

INSTANTIATE_TEST_SUITE_P(
    All, Tidy,
    ::testing::Values(TidyCase{"FourKinds", dead + "a:1\r\n" + ok + "b:2\r\n" + aborted + "c:3\r\nd:4\r\n",
                               "b:2\r\n" + aborted + "c:3\r\nd:4\r\n"},
                      TidyCase{"TwoDeadInARow", "\r\n" + dead + "a\r\n" + dead + "b\r\n" + ok + "c\r\n", "\r\nc\r\n"},
                      TidyCase{"FreshListKeepsItsEmptyLine", "\r\n", "\r\n"}, TidyCase{"Empty", "", ""},
                      TidyCase{"ExactlyTheWorkingPrefix", ok + "\r\n", "\r\n"},
                      TidyCase{"ExactlyTheDeadPrefix", "x\r\n" + dead + "\r\ny", "x\r\ny"},
                      TidyCase{"DeadLastLineWithoutBreak", "x\r\n" + dead + "a", "x\r\n"},
                      TidyCase{"PrefixNotAtTheStart", " " + dead + "a\r\n", " " + dead + "a\r\n"},
                      TidyCase{"HalfWidthOk", "OK:a\r\n", "OK:a\r\n"},
                      TidyCase{"SecondPrefixIsOnlyStrippedOnce", ok + dead + "a\r\n" + ok + ok + "b\r\n",
                               dead + "a\r\n" + ok + "b\r\n"},
                      TidyCase{"LongWorkingLineKeepsItsTail", ok + longProxy + "\r\n", longProxy + "\r\n"}),
    caseName);

TEST(TidyAgain, ASecondTidyActsOnlyOnLinesStillStartingWithAPrefix) {
    const std::string once = tidyResults(ok + dead + "a\r\n" + ok + ok + "b\r\n" + aborted + "c\r\n");
    EXPECT_EQ(once, dead + "a\r\n" + ok + "b\r\n" + aborted + "c\r\n");
    EXPECT_EQ(tidyResults(once), "b\r\n" + aborted + "c\r\n");
}

// Random result lists, long lines and odd breaks included: one pass gives what the loop gives.
TEST(TidyAgain, OnePassMatchesTheLoopOnRandomLists) {
    std::mt19937 rng(20261208);
    const std::vector<std::string> pieces = {dead, ok,   aborted, "a",    "\r\n",
                                             "\r", "\n", "\r\n",  "\x82", std::string(4100, 'z')};
    for (int round = 0; round < 2000; ++round) {
        std::string text;
        const int n = std::uniform_int_distribution<int>(0, 12)(rng);
        for (int i = 0; i < n; ++i)
            text += pieces[std::uniform_int_distribution<std::size_t>(0, pieces.size() - 1)(rng)];
        ASSERT_EQ(tidyResults(text), tidyLineByLine(text)) << "round " << round;
    }
}

}  // namespace
