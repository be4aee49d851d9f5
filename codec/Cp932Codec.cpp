#include "codec/Cp932Codec.h"

#include <algorithm>

#include "lists/ShiftJis.h"

namespace {

constexpr auto kFlags = QStringConverter::Flag::Stateless;

bool isRaw(char16_t u) {
    return u >= Cp932Codec::kRawBase && u <= Cp932Codec::kRawBase + 0xFF;
}
QChar raw(unsigned char b) {
    return QChar(char16_t(Cp932Codec::kRawBase + b));
}

}  // namespace

QString Cp932Codec::decodeChecked(std::string_view bytes, bool& ok) const {
    if (!decoder_) decoder_.emplace("CP932", kFlags);
    QString text = decoder_->decode(QByteArrayView(bytes.data(), qsizetype(bytes.size())));
    ok = !decoder_->hasError() && !text.contains(QChar::ReplacementCharacter);
    if (decoder_->hasError()) decoder_.reset();
    return text;
}

std::string Cp932Codec::encodeChecked(QStringView text, bool& ok) const {
    if (!encoder_) encoder_.emplace("CP932", kFlags);
    const QByteArray bytes = encoder_->encode(text);
    ok = !encoder_->hasError();
    if (!ok) encoder_.reset();
    return bytes.toStdString();
}

QString Cp932Codec::decode(std::string_view bytes) const {
    // Proxy lists are mostly ASCII, which is the same in CP932.
    if (std::all_of(bytes.begin(), bytes.end(), [](char b) { return static_cast<unsigned char>(b) < 0x80; }))
        return QString::fromLatin1(bytes.data(), qsizetype(bytes.size()));

    // Then well-formed text that ICU maps and that maps back to the same bytes.
    bool wellFormed = true;
    for (std::size_t i = 0; i < bytes.size() && wellFormed;) {
        const std::size_t n = sjis::charLength(bytes.substr(i));
        wellFormed = n != 0;
        i += n;
    }
    if (wellFormed) {
        bool ok = false;
        QString text = decodeChecked(bytes, ok);
        if (ok && encodeChecked(text, ok) == bytes && ok) return text;
    }

    QString text;
    text.reserve(qsizetype(bytes.size()));
    for (std::size_t i = 0; i < bytes.size();) {
        const std::size_t n = sjis::charLength(bytes.substr(i));
        if (n == 0) {
            text += raw(static_cast<unsigned char>(bytes[i]));
            ++i;
            continue;
        }
        text += decodeToken(bytes.substr(i, n));
        i += n;
    }
    return text;
}

QString Cp932Codec::decodeToken(std::string_view token) const {
    bool ok = false;
    QString ch = decodeChecked(token, ok);
    if (ok && encodeChecked(ch, ok) == token && ok) return ch;
    QString rawChars;
    for (char b : token) rawChars += raw(static_cast<unsigned char>(b));
    return rawChars;
}

std::string Cp932Codec::encode(QStringView text) const {
    if (std::all_of(text.begin(), text.end(), [](QChar c) { return c.unicode() < 0x80; })) {
        std::string bytes(std::size_t(text.size()), '\0');
        std::transform(text.begin(), text.end(), bytes.begin(), [](QChar c) { return char(c.unicode()); });
        return bytes;
    }
    bool ok = true;
    if (std::none_of(text.begin(), text.end(), [](QChar c) { return isRaw(c.unicode()); })) {
        std::string bytes = encodeChecked(text, ok);
        if (ok) return bytes;
    }
    // Character by character (code point by code point), so only what cannot be held turns into "?".
    std::string bytes;
    for (qsizetype i = 0; i < text.size();) {
        const qsizetype n = text[i].isHighSurrogate() && i + 1 < text.size() ? 2 : 1;
        const QStringView ch = text.mid(i, n);
        if (n == 1 && isRaw(ch[0].unicode())) {
            bytes += static_cast<char>(ch[0].unicode() - kRawBase);
        } else {
            std::string one = encodeChecked(ch, ok);
            bytes += ok ? one : std::string("?");
        }
        i += n;
    }
    return bytes;
}
