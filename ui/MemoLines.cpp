#include "ui/MemoLines.h"

#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>

namespace {
constexpr std::string_view kBreak = "\r\n";
}

MemoLines::MemoLines(QPlainTextEdit& edit) : edit_(edit), caretToLastLine_(std::make_unique<QTimer>()) {
    caretToLastLine_->setSingleShot(true);
    caretToLastLine_->setInterval(0);
    caretToLastLine_->callOnTimeout([this] {
        // The end of the last line, before the empty block that the line's break leaves.
        QTextCursor c(edit_.document());
        c.movePosition(QTextCursor::End);
        if (edit_.document()->lastBlock().length() <= 1 && edit_.document()->blockCount() > 1)
            c.movePosition(QTextCursor::PreviousCharacter);
        edit_.setTextCursor(c);
        edit_.ensureCursorVisible();
    });
}

MemoLines::~MemoLines() = default;

QTextBlock MemoLines::block(std::size_t i) const {
    return edit_.document()->findBlockByNumber(static_cast<int>(i));
}

std::size_t MemoLines::count() const {
    const QTextDocument* doc = edit_.document();
    const auto blocks = static_cast<std::size_t>(doc->blockCount());
    return doc->lastBlock().length() <= 1 ? blocks - 1 : blocks;  // an empty last block is no line
}

std::string MemoLines::fullLine(std::size_t i) const {
    if (i >= count()) return {};
    return codec_.encode(block(i).text());
}

std::string MemoLines::line(std::size_t i) const {
    std::string l = fullLine(i);
    if (l.size() > kReadLimit) l.resize(kReadLimit);
    return l;
}

QString MemoLines::displayLines(std::string_view bytes) const {
    QString out;
    for (std::size_t pos = 0;;) {
        const std::size_t end = bytes.find(kBreak, pos);
        out += codec_.decode(bytes.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos));
        if (end == std::string_view::npos) return out;
        out += QChar('\n');
        pos = end + kBreak.size();
    }
}

void MemoLines::replace(std::size_t i, std::string_view s) {
    if (i >= count()) return;
    const QTextBlock b = block(i);
    QTextCursor c(b);
    c.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
    c.insertText(displayLines(s));
}

void MemoLines::remove(std::size_t i) {
    if (i >= count()) return;
    const QTextBlock b = block(i);
    QTextCursor c(b);
    const QTextBlock next = b.next();
    if (next.isValid())
        c.setPosition(next.position(), QTextCursor::KeepAnchor);  // the line and its break
    else
        c.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);  // last line without a break
    c.removeSelectedText();
}

void MemoLines::append(std::string_view s) {
    QTextDocument* doc = edit_.document();
    QTextCursor c(doc);
    c.movePosition(QTextCursor::End);
    const bool endsWithBreak = doc->lastBlock().length() <= 1;
    // One insertion per line: each one makes the editor lay the change out again.
    c.insertText(endsWithBreak ? displayLines(s) + QChar('\n') : QChar('\n') + displayLines(s));
    caretToLastLine_->start();
}

std::string MemoLines::text() const {
    std::string out;
    for (QTextBlock b = edit_.document()->begin(); b.isValid(); b = b.next()) {
        out += codec_.encode(b.text());
        if (b.next().isValid()) out += kBreak;
    }
    return out;
}

void MemoLines::setText(std::string_view s) {
    edit_.setPlainText(displayLines(s));
}
