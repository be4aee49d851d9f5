#include <gtest/gtest.h>

#include "lists/ShiftJis.h"
#include "tests/support/NamedCase.h"

namespace {

const std::string kCannotOpen =
    "\x83\x74\x83\x40\x83\x43\x83\x8b a.txt \x82\xcd\x8a\x4a\x82\xaf\x82\xdc\x82\xb9\x82\xf1";
const std::string kEnded = "\x8f\x49\x82\xed\x82\xe8\x81\x42";  // 終わり。

struct StopCase : NamedCase {
    std::string message;
    std::string shown;
};

class FullStopRule : public ::testing::TestWithParam<StopCase> {};

TEST_P(FullStopRule, AppendsAPeriodAfterCharactersAbovePeriod) {
    EXPECT_EQ(sjis::withFullStop(GetParam().message), GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(
    All, FullStopRule,
    ::testing::Values(StopCase{"Japanese", kCannotOpen, kCannotOpen + "."}, StopCase{"Empty", "", ""},
                      StopCase{"Period", "done.", "done."}, StopCase{"Paren", "failed (5)", "failed (5)"},
                      StopCase{"Letter", "abc", "abc."}, StopCase{"Slash", "a/", "a/."}, StopCase{"Hyphen", "a-", "a-"},
                      StopCase{"HalfWidthKana", "\xb1", "\xb1."}, StopCase{"Space", "a ", "a "},
                      StopCase{"FullWidthStop", kEnded, kEnded + "."},
                      // A lead byte at the very end is a character of its own, above "." like any.
                      StopCase{"LoneLeadAtEnd", "a\x81", "a\x81."},
                      // The second byte of a pair is no character of its own, even where it reads as ".".
                      StopCase{"TrailByteLooksLikeAParen", "\x83\x29", "\x83\x29."}),
    caseName);

struct LengthCase : NamedCase {
    std::string bytes;
    std::size_t length;
};

class CharLength : public ::testing::TestWithParam<LengthCase> {};

TEST_P(CharLength, OfTheFirstCharacter) {
    EXPECT_EQ(sjis::charLength(GetParam().bytes), GetParam().length);
}

INSTANTIATE_TEST_SUITE_P(All, CharLength,
                         ::testing::Values(LengthCase{"Ascii", "a\x82", 1}, LengthCase{"HalfWidthKana", "\xdf", 1},
                                           LengthCase{"Pair", "\x82\x6e", 2}, LengthCase{"PairHighLead", "\xfc\xfc", 2},
                                           LengthCase{"LeadAtEnd", "\x81", 0},
                                           LengthCase{"LeadBeforeDel", "\x81\x7f", 0},
                                           LengthCase{"LeadBeforeSpace", "\x81 ", 0}, LengthCase{"Unused80", "\x80", 0},
                                           LengthCase{"UnusedA0", "\xa0", 0}, LengthCase{"UnusedFD", "\xfd", 0}),
                         caseName);

}  // namespace
