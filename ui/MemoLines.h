#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "codec/Cp932Codec.h"
#include "lists/LineRules.h"

class QPlainTextEdit;
class QTextBlock;
class QTimer;

// The line rules over a text editor: a document block is a segment, its text Shift_JIS bytes once encoded.
// Only the block touched is converted, so reading and appending stay cheap on long lists.
class MemoLines final : public LineRules {
  public:
    explicit MemoLines(QPlainTextEdit& edit);
    ~MemoLines() override;

    std::string text() const;
    void setText(std::string_view s);

    QString toDisplay(std::string_view bytes) const { return codec_.decode(bytes); }
    std::string toBytes(QStringView text) const { return codec_.encode(text); }

  protected:
    std::size_t segments() const override;
    bool segmentEmpty(std::size_t i) const override;
    std::string segment(std::size_t i, std::size_t limit) const override;
    void setSegment(std::size_t i, std::string_view s) override;
    void eraseSegment(std::size_t i) override;
    void appendBytes(std::string_view s) override;  // and the caret goes to the new last line

  private:
    QTextBlock block(std::size_t i) const;
    QString displayLines(std::string_view bytes) const;  // CR LF breaks become block breaks

    QPlainTextEdit& edit_;
    Cp932Codec codec_;
    // Moving the caret costs more than the append itself, so appends made in one go move it once.
    std::unique_ptr<QTimer> caretToLastLine_;
};
