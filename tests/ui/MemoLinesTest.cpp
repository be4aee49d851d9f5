#include <gtest/gtest.h>

#include <QPlainTextEdit>
#include <functional>
#include <vector>

#include "codec/Cp932Codec.h"
#include "lists/LineList.h"
#include "tests/support/NamedCase.h"
#include "ui/MemoLines.h"

namespace {

struct BytesCase : NamedCase {
    std::string bytes;
};

class Cp932RoundTrip : public ::testing::TestWithParam<BytesCase> {};

TEST_P(Cp932RoundTrip, BytesSurviveTheEditor) {
    QPlainTextEdit edit;
    MemoLines lines(edit);
    const std::string text = GetParam().bytes + "\r\nnext\r\n";
    lines.setText(text);
    EXPECT_EQ(lines.text(), text);
    EXPECT_EQ(lines.line(0), GetParam().bytes);
}

INSTANTIATE_TEST_SUITE_P(All, Cp932RoundTrip,
                         ::testing::Values(BytesCase{"Ascii", "127.0.0.1:8080"},
                                           BytesCase{"Japanese", "\x83\x76\x83\x8d\x83\x4e\x83\x56:80"},
                                           BytesCase{"LoneHighBytes", "a\x80\xa0\xfd\xfe\xffz"},
                                           BytesCase{"LeadAtEnd", "abc\x81"}, BytesCase{"LeadBeforeSpace", "\x81 x"},
                                           BytesCase{"UnassignedPair", "\x85\x40proxy"},
                                           BytesCase{"NecDuplicate", "\xed\x40\x87\x90"},
                                           BytesCase{"HalfWidthKana", "\xb1\xb2\xb3"},
                                           BytesCase{"Control", std::string("\x01\x1a\t", 3)}),
                         caseName);

TEST(Cp932, CharactersCp932CannotHoldBecomeQuestionMarks) {
    Cp932Codec codec;
    EXPECT_EQ(codec.encode(QString::fromUtf8("a€😀b")), "a??b");
    EXPECT_EQ(codec.encode(QStringLiteral("ＯＫ：")), "\x82\x6e\x82\x6a\x81\x46");
}

// The editor follows the same line rules as the plain line list, operation for operation.
TEST(MemoLinesRules, MatchTheLineList) {
    const std::vector<std::function<void(MemoLines&, LineList&)>> steps = {
        [](MemoLines& m, LineList& l) { m.append("a"), l.append("a"); },
        [](MemoLines& m, LineList& l) { m.append("b"), l.append("b"); },
        [](MemoLines& m, LineList& l) { m.replace(0, "x"), l.replace(0, "x"); },
        [](MemoLines& m, LineList& l) { m.remove(1), l.remove(1); },
        [](MemoLines& m, LineList& l) { m.setText("p\r\nq"), l.setText("p\r\nq"); },
        [](MemoLines& m, LineList& l) { m.remove(1), l.remove(1); },  // last line without a break
        [](MemoLines& m, LineList& l) { m.append("r"), l.append("r"); },
        [](MemoLines& m, LineList& l) { m.setText("s"), l.setText("s"); },
        [](MemoLines& m, LineList& l) { m.append("t"), l.append("t"); },
        [](MemoLines& m, LineList& l) { m.replace(5, "u"), l.replace(5, "u"); },
        [](MemoLines& m, LineList& l) { m.setText(std::string(5000, 'y')), l.setText(std::string(5000, 'y')); },
    };
    QPlainTextEdit edit;
    MemoLines memo(edit);
    LineList list;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        steps[i](memo, list);
        EXPECT_EQ(memo.text(), list.text()) << "after step " << i;
        EXPECT_EQ(memo.count(), list.count()) << "after step " << i;
        for (std::size_t k = 0; k <= list.count(); ++k) EXPECT_EQ(memo.line(k), list.line(k));
    }
}

}  // namespace
