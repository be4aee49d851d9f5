#pragma once

#include <QString>
#include <QStringDecoder>
#include <QStringEncoder>
#include <string>
#include <string_view>

// Shift_JIS (code page 932) bytes to the window's text and back. Bytes that are not valid CP932, or that
// would not come back as themselves, show as private-use characters U+F700+byte and return unchanged;
// characters that CP932 cannot hold become "?".
// A converter is made per call: Qt 6.4's resetState() closes ICU converters instead of resetting them,
// and their error flag is sticky, so a kept converter would report every later call as failed.
class Cp932Codec {
  public:
    QString decode(std::string_view bytes) const;
    std::string encode(QStringView text) const;

    static constexpr char16_t kRawBase = 0xF700;

  private:
    static QString decodeChecked(std::string_view bytes, bool& ok);
    static std::string encodeChecked(QStringView text, bool& ok);
    static QString decodeToken(std::string_view token);
};
