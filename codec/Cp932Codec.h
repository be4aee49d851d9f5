#pragma once

#include <QString>
#include <QStringDecoder>
#include <QStringEncoder>
#include <optional>
#include <string>
#include <string_view>

// Shift_JIS (code page 932) bytes to the window's text and back. Bytes that are not valid CP932, or that
// would not come back as themselves, show as private-use characters U+F700+byte and return unchanged;
// characters that CP932 cannot hold become "?".
class Cp932Codec {
  public:
    QString decode(std::string_view bytes) const;
    std::string encode(QStringView text) const;

    static constexpr char16_t kRawBase = 0xF700;

  private:
    QString decodeChecked(std::string_view bytes, bool& ok) const;
    std::string encodeChecked(QStringView text, bool& ok) const;
    QString decodeToken(std::string_view token) const;

    // Kept between calls while they convert cleanly. Their error flag is sticky, and Qt 6.4's
    // resetState() closes an ICU converter instead of resetting it, so after an error a new one is made.
    mutable std::optional<QStringDecoder> decoder_;
    mutable std::optional<QStringEncoder> encoder_;
};
