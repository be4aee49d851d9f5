// Fuzz target for the editors' CP932 conversion: any bytes come back unchanged.
#include <cstdlib>
#include <string>

#include "codec/Cp932Codec.h"
#include "tests/fuzz/FuzzTargets.h"

int fuzzCp932(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    Cp932Codec codec;
    const QString shown = codec.decode(bytes);
    if (codec.encode(shown) != bytes) std::abort();
    // Text typed as UTF-16 never breaks the encoder, and what it makes reads back the same.
    const QString typed = QString::fromUtf16(reinterpret_cast<const char16_t*>(data), qsizetype(size / 2));
    const std::string stored = codec.encode(typed);
    if (codec.encode(codec.decode(stored)) != stored) std::abort();
    return 0;
}
