#include "ui/Unit_about.h"

#include <qdrawutil.h>

#include <QApplication>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QStyle>

#include "kiriha/Version.h"
#include "ui/WindowParts.h"

TAboutBox* AboutBox = nullptr;

namespace {

// A lowered outer and a raised inner bevel around the panel's content.
class BevelPanel : public QFrame {
  public:
    using QFrame::QFrame;

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        qDrawShadePanel(&p, rect(), palette(), true, 1);
        qDrawShadePanel(&p, rect().adjusted(1, 1, -1, -1), palette(), false, 1);
    }
};

QLineEdit* address(QWidget* parent, const QString& text, int left, int top, int width, int height) {
    auto* e = new QLineEdit(text, parent);
    e->setGeometry(left, top, width, height);
    e->setFrame(false);
    e->setReadOnly(true);
    QPalette pal = e->palette();
    pal.setColor(QPalette::Base, pal.color(QPalette::Window));
    e->setPalette(pal);
    e->setCursorPosition(0);
    return e;
}

QPlainTextEdit* memo(QWidget* parent, const QString& text, int left, int top, int width, int height) {
    auto* m = new QPlainTextEdit(text, parent);
    m->setGeometry(left, top, width, height);
    m->setReadOnly(true);
    m->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    m->setWordWrapMode(QTextOption::WordWrap);
    m->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m->setTabChangesFocus(true);
    return m;
}

// The version as the dialog shows it, in full-width characters.
QString fullWidth(const char* ascii) {
    QString text;
    for (const char* c = ascii; *c; ++c) text += QChar(char16_t(*c - 0x21 + 0xFF01));
    return text;
}

}  // namespace

TAboutBox::TAboutBox(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {
    setWindowTitle(QStringLiteral("バージョン情報"));
    setFont(windowFont(12));
    setFixedSize(384, 360);
    setModal(true);

    Panel1 = new BevelPanel(this);
    Panel1->setGeometry(8, 4, 369, 321);

    ProductName = placedLabel(Panel1, QStringLiteral("霧葉（きりは）"), 76, 24);
    QFont name = minchoFont(32);
    name.setBold(true);
    ProductName->setFont(name);
    ProductName->adjustSize();
    Version = placedLabel(Panel1, QStringLiteral("Version ") + fullWidth(kVersion), 212, 56);
    Copyright = placedLabel(Panel1, QStringLiteral("© 2026 the 霧葉 developers"), 152, 72);

    BitBtn1 = new QPushButton(style()->standardIcon(QStyle::SP_DialogOkButton), QStringLiteral("OK"), this);
    BitBtn1->setGeometry(80, 332, 197, 25);
    BitBtn1->setDefault(true);
    connect(BitBtn1, &QPushButton::clicked, this, &QDialog::accept);

    Edit1 = address(Panel1, QStringLiteral("https://opensource.org/license/mit"), 68, 96, 213, 20);
    Label1 = placedLabel(Panel1, QStringLiteral("プロクシ・チェッカー"), 100, 8);
    Edit2 = address(Panel1, QStringLiteral("https://curl.se/"), 92, 112, 125, 17);
    Memo1 = memo(Panel1,
                 QStringLiteral("　スレッド処理により高速でプロクシ生存チェックが出来ます。\n"
                                "　同じ串を二度チェックしたり、一度もチェック\n"
                                "しなかったりする場合はお手数ですが御連絡下さいませ。"),
                 8, 128, 349, 45);
    Memo2 = memo(Panel1,
                 QStringLiteral("THE SOFTWARE IS PROVIDED \"AS IS\", WITHOUT WARRANTY OF ANY KIND, EXPRESS OR "
                                "IMPLIED, INCLUDING BUT NOT LIMITED TO THE WARRANTIES OF MERCHANTABILITY, FITNESS "
                                "FOR A PARTICULAR PURPOSE AND NONINFRINGEMENT. IN NO EVENT SHALL THE AUTHORS OR "
                                "COPYRIGHT HOLDERS BE LIABLE FOR ANY CLAIM, DAMAGES OR OTHER LIABILITY, WHETHER IN "
                                "AN ACTION OF CONTRACT, TORT OR OTHERWISE, ARISING FROM, OUT OF OR IN CONNECTION "
                                "WITH THE SOFTWARE OR THE USE OR OTHER DEALINGS IN THE SOFTWARE."),
                 8, 176, 349, 141);

    // Tab order: the panel's edits and memos, then OK.
    setTabOrder(Edit1, Edit2);
    setTabOrder(Edit2, Memo1);
    setTabOrder(Memo1, Memo2);
    setTabOrder(Memo2, BitBtn1);
}

void TAboutBox::showEvent(QShowEvent* event) {
    if (const QScreen* screen = QApplication::primaryScreen()) {
        const QRect area = screen->geometry();
        move(area.center() - QPoint(width() / 2, height() / 2));
    }
    QDialog::showEvent(event);
    Edit1->setFocus();  // first in the panel, which comes before OK; Enter still reaches the default button
}
