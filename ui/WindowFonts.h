#pragma once

#include <QFont>
#include <QStringList>

// "ＭＳ Ｐゴシック" where it exists; the IPA fonts stand in for it on Linux.
inline QFont windowFont(int pixels) {
    QFont f;
    f.setFamilies({QStringLiteral("ＭＳ Ｐゴシック"), QStringLiteral("MS PGothic"), QStringLiteral("IPAPGothic")});
    f.setPixelSize(pixels);
    return f;
}

inline QFont minchoFont(int pixels) {
    QFont f;
    f.setFamilies({QStringLiteral("ＭＳ Ｐ明朝"), QStringLiteral("MS PMincho"), QStringLiteral("IPAPMincho")});
    f.setPixelSize(pixels);
    return f;
}
