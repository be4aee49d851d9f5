#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "ui/Cp932Codec.h"

class QPlainTextEdit;
class QTextBlock;
class QTimer;

// The line-list rules over a text editor: one document block per line, the text in Shift_JIS bytes.
// Only the line touched is converted, so reading and appending stay cheap on long lists.
class MemoLines {
  public:
    static constexpr std::size_t kReadLimit = 4096;

    explicit MemoLines(QPlainTextEdit& edit);
    ~MemoLines();

    std::size_t count() const;
    std::string line(std::size_t i) const;  // cut to kReadLimit bytes; empty past the end
    std::string fullLine(std::size_t i) const;
    void replace(std::size_t i, std::string_view s);
    void remove(std::size_t i);
    void append(std::string_view s);
    std::string text() const;
    void setText(std::string_view s);

    QString toDisplay(std::string_view bytes) const { return codec_.decode(bytes); }
    std::string toBytes(QStringView text) const { return codec_.encode(text); }

  private:
    QTextBlock block(std::size_t i) const;
    QString displayLines(std::string_view bytes) const;  // CR LF breaks become block breaks

    QPlainTextEdit& edit_;
    Cp932Codec codec_;
    // Moving the caret costs more than the append itself, so appends made in one go move it once.
    std::unique_ptr<QTimer> caretToLastLine_;
};
