#include <gtest/gtest.h>

#include <functional>

#include "lists/LineList.h"
#include "tests/support/NamedCase.h"

namespace {

struct LineCase : NamedCase {
    std::string before;
    std::function<void(LineList&)> op;
    std::string after;
    std::size_t count;
};

class LineListRules : public ::testing::TestWithParam<LineCase> {};

TEST_P(LineListRules, TextAndCountAfterOperation) {
    const LineCase& c = GetParam();
    LineList list(c.before);
    c.op(list);
    EXPECT_EQ(list.text(), c.after);
    EXPECT_EQ(list.count(), c.count);
}

const std::string ok = "\x82\x6e\x82\x6a\x81\x46";  // ＯＫ：
auto nothing = [](LineList&) {};

INSTANTIATE_TEST_SUITE_P(
    All, LineListRules,
    ::testing::Values(
        LineCase{"Empty", "", nothing, "", 0}, LineCase{"OneLineNoBreak", "a", nothing, "a", 1},
        LineCase{"BreakOnlyIsOneEmptyLine", "\r\n", nothing, "\r\n", 1},
        LineCase{"TrailingBreakNotCounted", "a\r\nb\r\n", nothing, "a\r\nb\r\n", 2},
        LineCase{"LoneLfAndCrAreNotBreaks", "a\nb\rc", nothing, "a\nb\rc", 1},
        LineCase{"AppendToBreakOnly", "\r\n", [](LineList& l) { l.append(ok + "p:1"); }, "\r\n" + ok + "p:1\r\n", 2},
        LineCase{"AppendWithoutFinalBreak", "a", [](LineList& l) { l.append("b"); }, "a\r\nb", 2},
        LineCase{"AppendToEmpty", "", [](LineList& l) { l.append("b"); }, "b\r\n", 1},
        LineCase{"AppendTwice", "", [](LineList& l) { l.append("a"), l.append("b"); }, "a\r\nb\r\n", 2},
        LineCase{"ReplaceKeepsBreak", "a\r\nb\r\nc", [](LineList& l) { l.replace(1, "xyz"); }, "a\r\nxyz\r\nc", 3},
        LineCase{"ReplaceLastNoBreak", "a\r\nb", [](LineList& l) { l.replace(1, ""); }, "a\r\n", 1},
        LineCase{"ReplacePastEnd", "a\r\n", [](LineList& l) { l.replace(1, "x"); }, "a\r\n", 1},
        LineCase{"ReplaceWithBreakInside", "a\r\nb", [](LineList& l) { l.replace(0, "x\r\ny"); }, "x\r\ny\r\nb", 3},
        LineCase{"DeleteMiddle", "a\r\nb\r\nc\r\n", [](LineList& l) { l.remove(1); }, "a\r\nc\r\n", 2},
        LineCase{"DeleteLastWithoutBreak", "a\r\nb", [](LineList& l) { l.remove(1); }, "a\r\n", 1},
        LineCase{"DeleteLastWithBreak", "a\r\nb\r\n", [](LineList& l) { l.remove(1); }, "a\r\n", 1},
        LineCase{"DeleteOnlyLine", "a", [](LineList& l) { l.remove(0); }, "", 0},
        LineCase{"DeletePastEnd", "a\r\n", [](LineList& l) { l.remove(1); }, "a\r\n", 1},
        LineCase{"SetText", "a", [](LineList& l) { l.setText("x\r\ny\r\nz"); }, "x\r\ny\r\nz", 3},
        LineCase{"AppendAfterDeleteAtEnd", "a\r\nb",
                 [](LineList& l) {
                     l.remove(1);
                     l.append("c");
                 },
                 "a\r\nc\r\n", 2}),
    caseName);

TEST(LineListRead, LinesAreCutAndEmptyPastTheEnd) {
    const std::string longLine(5000, 'x');
    LineList list("a\r\n" + longLine + "\r\nc");
    EXPECT_EQ(list.line(0), "a");
    EXPECT_EQ(list.line(1), std::string(4096, 'x'));
    EXPECT_EQ(list.fullLine(1).size(), 5000u);
    EXPECT_EQ(list.line(2), "c");
    EXPECT_EQ(list.line(5), "");
    LineList appended("\r\n");
    appended.append(ok + "p:1");
    EXPECT_EQ(appended.line(1), ok + "p:1");
}

TEST(LineListRead, ManyLinesStayIndexed) {
    LineList list;
    for (int i = 0; i < 100000; ++i) list.append(std::to_string(i));
    ASSERT_EQ(list.count(), 100000u);
    for (std::size_t i = 0; i < list.count(); i += 9973) EXPECT_EQ(list.line(i), std::to_string(i));
    list.remove(0);
    EXPECT_EQ(list.line(0), "1");
    EXPECT_EQ(list.count(), 99999u);
}

}  // namespace
