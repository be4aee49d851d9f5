#include "ui/MemoLines.h"

#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>

#include "lists/ShiftJis.h"

MemoLines::MemoLines(QPlainTextEdit& edit) : edit_(edit), caretToLastLine_(std::make_unique<QTimer>()) {
    caretToLastLine_->setSingleShot(true);
    caretToLastLine_->setInterval(0);
    caretToLastLine_->callOnTimeout([this] {
        // The end of the last line, before the empty block that the line's break leaves.
        QTextCursor c(edit_.document());
        c.movePosition(QTextCursor::End);
        if (segmentEmpty(segments() - 1) && segments() > 1) c.movePosition(QTextCursor::PreviousCharacter);
        edit_.setTextCursor(c);
        edit_.ensureCursorVisible();
    });
}

MemoLines::~MemoLines() = default;

QTextBlock MemoLines::block(std::size_t i) const {
    return edit_.document()->findBlockByNumber(static_cast<int>(i));
}

std::size_t MemoLines::segments() const {
    return static_cast<std::size_t>(edit_.document()->blockCount());
}

bool MemoLines::segmentEmpty(std::size_t i) const {
    const QTextDocument* doc = edit_.document();
    return (i + 1 == segments() ? doc->lastBlock() : block(i)).length() <= 1;
}

std::string MemoLines::segment(std::size_t i, std::size_t limit) const {
    std::string bytes = codec_.encode(block(i).text());
    if (bytes.size() > limit) bytes.resize(limit);
    return bytes;
}

QString MemoLines::displayLines(std::string_view bytes) const {
    QString out;
    for (std::size_t pos = 0;;) {
        const std::size_t end = bytes.find(sjis::kLineBreak, pos);
        out += codec_.decode(bytes.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos));
        if (end == std::string_view::npos) return out;
        out += QChar('\n');
        pos = end + sjis::kLineBreak.size();
    }
}

void MemoLines::setSegment(std::size_t i, std::string_view s) {
    QTextCursor c(block(i));
    c.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
    c.insertText(displayLines(s));
}

void MemoLines::eraseSegment(std::size_t i) {
    const QTextBlock b = block(i);
    QTextCursor c(b);
    c.setPosition(b.next().position(), QTextCursor::KeepAnchor);
    c.removeSelectedText();
}

void MemoLines::appendBytes(std::string_view s) {
    QTextCursor c(edit_.document());
    c.movePosition(QTextCursor::End);
    // One insertion per line: each one makes the editor lay the change out again.
    c.insertText(displayLines(s));
    caretToLastLine_->start();
}

std::string MemoLines::text() const {
    std::string out;
    for (QTextBlock b = edit_.document()->begin(); b.isValid(); b = b.next()) {
        out += codec_.encode(b.text());
        if (b.next().isValid()) out += sjis::kLineBreak;
    }
    return out;
}

void MemoLines::setText(std::string_view s) {
    edit_.setPlainText(displayLines(s));
}
