#pragma once

#include <QFont>
#include <QLabel>
#include <QStringList>

// A label at its design position, sized to its text as the design's labels are. Its text is plain: a path
// or a proxy text holding "<b>" is shown as written.
inline QLabel* placedLabel(QWidget* parent, const QString& text, int left, int top) {
    auto* l = new QLabel(parent);
    l->setTextFormat(Qt::PlainText);
    l->setText(text);
    l->move(left, top);
    l->adjustSize();
    return l;
}

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
