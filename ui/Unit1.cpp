#include "ui/Unit1.h"

#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QEventLoop>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProxyStyle>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTimer>
#include <thread>

#include "engine/threads/WindowRun.h"
#include "lists/ListFile.h"
#include "lists/Tidy.h"
#include "ui/ErrorDisplay.h"
#include "ui/FileDialogs.h"
#include "ui/ListFileTexts.h"
#include "ui/MemoLines.h"
#include "ui/RunTexts.h"
#include "ui/Unit_about.h"
#include "ui/WindowParts.h"

TForm1* Form1 = nullptr;

namespace {

constexpr int kClientWidth = 377;
constexpr int kClientHeight = 403;
constexpr std::chrono::milliseconds kCloseLook{20};  // how often a pause looks for a close

// Shows Start's tooltip after 500 ms of hovering instead of the style's own delay.
class QuickTooltipStyle : public QProxyStyle {
  public:
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* returnData) const override {
        if (hint == SH_ToolTip_WakeUpDelay) return 500;
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }
};

template <typename W>
W* place(W* widget, int left, int top, int width, int height) {
    widget->setGeometry(left, top, width, height);
    return widget;
}

}  // namespace

TForm1::TForm1(FormSettings settings, QWidget* parent)
    : QMainWindow(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                              Qt::WindowCloseButtonHint) {
    setWindowTitle(QStringLiteral("霧葉（きりは）　　～プロクシ生存チェッカー"));
    setFont(windowFont(12));
    buildControls();
    buildMenu();
    setFixedSize(kClientWidth, kClientHeight + MainMenu1->sizeHint().height());
    move(197, 108);

    OpenDialog1 =
        std::make_unique<TFileDialog>(this, TFileDialog::Mode::Open, QStringLiteral("プロクシリストの読み込みっ！"));
    SaveDialog1 =
        std::make_unique<TFileDialog>(this, TFileDialog::Mode::Save, QStringLiteral("プロクシリストの保存っ！"));
    memo1Lines_ = std::make_unique<MemoLines>(*Memo1);
    memoLoadLines_ = std::make_unique<MemoLines>(*Memo_load);

    RunConfig config;
    config.http = settings.http ? settings.http : std::make_shared<CurlHttpLayer>(settings.limits);
    config.post = [](std::function<void()> completion) {
        // Runs in the window's thread, in whatever event loop is running there (dialogs included).
        // A completion that outlives the run finds it gone and does nothing.
        QMetaObject::invokeMethod(
            qApp, [completion = std::move(completion)] { runHandler(completion); }, Qt::QueuedConnection);
    };
    config.target = settings.target;
    config.wavePause = settings.wavePause;
    config.pause = [this](std::chrono::milliseconds ms, const std::function<bool()>& interrupted) {
        pauseWithoutInput(ms, interrupted);
    };
    run_ = std::make_unique<WindowRun>(*this, std::move(config));
}

TForm1::~TForm1() {
    run_.reset();  // before the labels and lists it reports to
    if (Form1 == this) Form1 = nullptr;
}

void TForm1::buildControls() {
    scroll_ = new QScrollArea(this);
    scroll_->setFocusPolicy(Qt::NoFocus);  // scrolling is no stop of its own in the tab order
    scroll_->setFrameShape(QFrame::NoFrame);
    scroll_->setFixedSize(kClientWidth, kClientHeight);
    auto* canvas = canvas_ = new QWidget;

    Memo1 = place(new QPlainTextEdit(canvas), 4, 4, 177, 397);
    Memo1->setLineWrapMode(QPlainTextEdit::NoWrap);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Memo1->setTabChangesFocus(true);
    Memo1->setPlainText(QStringLiteral("\n"));  // one empty line

    Button1 = place(new QPushButton(QStringLiteral("チェック開始"), canvas), 192, 4, 137, 49);
    Button1->setToolTip(QStringLiteral("不安定だけど高速っ！"));
    Button1->setToolTipDuration(2500);
    auto* tooltipStyle = new QuickTooltipStyle;
    tooltipStyle->setParent(this);
    Button1->setStyle(tooltipStyle);

    Button2 = place(new QPushButton(QStringLiteral("中止"), canvas), 192, 56, 137, 25);
    kusi_now = placedLabel(canvas, QStringLiteral("　　"), 312, 92);
    kusi_now->setFont(windowFont(16));
    kusi_now->adjustSize();
    Label235 = placedLabel(canvas, QStringLiteral("現在のチェック済み数："), 192, 96);
    Label_kusi = placedLabel(canvas, QStringLiteral("　　　　　"), 192, 112);
    Button4 = place(new QPushButton(QStringLiteral("結果の不要部分削除"), canvas), 192, 128, 133, 25);
    Button5 = place(new QPushButton(QStringLiteral("保存"), canvas), 188, 156, 65, 29);
    CheckBox1 = place(new QCheckBox(QStringLiteral("上書き保存"), canvas), 260, 164, 97, 17);
    Button3 = place(new QPushButton(QStringLiteral("リスト読み込み"), canvas), 264, 212, 109, 25);

    Memo_load = place(new QPlainTextEdit(canvas), 188, 240, 185, 161);
    Memo_load->setLineWrapMode(QPlainTextEdit::NoWrap);
    Memo_load->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo_load->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo_load->setTabChangesFocus(true);

    kusi_th = placedLabel(canvas, QStringLiteral("kusi_th"), 424, 368);
    kusi_max = placedLabel(canvas, QStringLiteral("kusi_max"), 416, 424);
    LoadFile_NamePath = placedLabel(canvas, QStringLiteral("LoadFile_NamePath"), 200, 432);

    // Tab order: Start, result list, proxy list, Abort, Load, Tidy, Save, overwrite option.
    QWidget* order[] = {Button1, Memo1, Memo_load, Button2, Button3, Button4, Button5, CheckBox1};
    for (std::size_t i = 0; i + 1 < std::size(order); ++i) setTabOrder(order[i], order[i + 1]);
    Button1->setFocus();  // the first in the tab order has the focus when the window opens

    connect(Button1, &QPushButton::clicked, this, [this] { runHandler([this] { Button1Click(); }); });
    connect(Button2, &QPushButton::clicked, this, [this] { runHandler([this] { Button2Click(); }); });
    connect(Button3, &QPushButton::clicked, this, [this] { runHandler([this] { Button3Click(); }); });
    connect(Button4, &QPushButton::clicked, this, [this] { runHandler([this] { Button4Click(); }); });
    connect(Button5, &QPushButton::clicked, this, [this] { runHandler([this] { Button5Click(); }); });

    fitCanvas();
    scroll_->setWidget(canvas);
    setCentralWidget(scroll_);
}

void TForm1::buildMenu() {
    MainMenu1 = menuBar();
    File1 = MainMenu1->addMenu(QStringLiteral("ファイル"));
    N1 = File1->addAction(QStringLiteral("プロクシリストの読み込み"));
    N2 = File1->addAction(QStringLiteral("プロクシリストの保存"));
    N3 = File1->addSeparator();
    Exit1 = File1->addAction(QStringLiteral("終了"));
    Help1 = MainMenu1->addMenu(QStringLiteral("ヘルプ"));
    About1 = Help1->addAction(QStringLiteral("バージョン情報"));
    connect(N1, &QAction::triggered, this, [this] { runHandler([this] { Button3Click(); }); });
    connect(N2, &QAction::triggered, this, [this] { runHandler([this] { Button5Click(); }); });
    connect(Exit1, &QAction::triggered, this, [this] { runHandler([this] { Exit1Click(); }); });
    connect(About1, &QAction::triggered, this, [this] { runHandler([this] { About1Click(); }); });
}

void TForm1::Button1Click() {
    run_->start();
    if (closeHeld_) {
        // A close cut the dispatch short. It goes first, and what was typed or clicked meanwhile (another
        // Start among it) finds the window disabled and goes nowhere.
        closeHeld_ = false;
        setEnabled(false);
        close();
    }
}

void TForm1::Button2Click() {
    run_->abort();
}

void TForm1::FormClose() {
    run_->stopOnClose();
}

void TForm1::Button3Click() {
    withPathsAsShown([this] { loadList(*this, *OpenDialog1); });
}

void TForm1::Button4Click() {
    const std::string text = results().text();
    std::string tidied = tidyResults(text);
    if (tidied != text) results().setText(tidied);  // one rebuild, however many lines changed
}

void TForm1::Button5Click() {
    withPathsAsShown([this] { saveList(*this, *SaveDialog1); });
}

void TForm1::withPathsAsShown(const std::function<void()>& command) {
    try {
        command();
    } catch (const ListFileError& e) {
        // The message shows the path as the window does, in Shift_JIS.
        throw std::runtime_error(
            texts::listFileMessage(e, results().toBytes(QFile::decodeName(QByteArray::fromStdString(e.path())))));
    }
}

void TForm1::Exit1Click() {
    close();
}

void TForm1::About1Click() {
    if (AboutBox) AboutBox->exec();
}

void TForm1::closeEvent(QCloseEvent* event) {
    if (run_->dispatching()) {  // Start ends its dispatch at once and closes the window then
        closeHeld_ = true;
        run_->interruptDispatch();
        event->ignore();
        return;
    }
    runHandler([this] { FormClose(); });
    event->accept();
}

void TForm1::pauseWithoutInput(std::chrono::milliseconds ms, const std::function<bool()>& interrupted) {
    // User input waits for the end of Start; a close request ends the pause at once.
    if (!desktopClose_.available()) {
        QTimer end;  // wakes the wait when the pause is over
        end.setSingleShot(true);
        end.start(ms);
        while (end.isActive() && !interrupted())
            QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents | QEventLoop::WaitForMoreEvents);
        return;
    }
    // On X11 nothing is handled meanwhile: the window system's events stay queued, where a close can be seen
    // (painting, too, may take events out of the queue).
    const auto end = std::chrono::steady_clock::now() + ms;
    while (!interrupted()) {
        if (desktopClose_.requested(*this)) {
            closeHeld_ = true;
            run_->interruptDispatch();
            return;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= end) return;
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(end - now, kCloseLook));
    }
}

void TForm1::setLabelBytes(QLabel* l, const std::string& text) {
    l->setText(memo1Lines_->toDisplay(text));
    l->adjustSize();
    fitCanvas();
}

void TForm1::fitCanvas() {
    // At least the design's 462 x 444, which reaches the three state labels beyond the client area.
    canvas_->setFixedSize(canvas_->childrenRect().united(QRect(0, 0, 462, 444)).size());
}

void TForm1::flagChanged(RunFlag flag) {
    setLabelBytes(kusi_th, texts::flagText(flag));
}
void TForm1::doneChanged(long long done) {
    setLabelBytes(kusi_now, std::to_string(done));
}
void TForm1::totalChanged(long long total) {
    setLabelBytes(kusi_max, std::to_string(total));
}
void TForm1::statusChanged(RunStatus status) {
    setLabelBytes(Label_kusi, texts::statusText(status));
}
std::size_t TForm1::proxyCount() const {
    return memoLoadLines_->count();
}
std::string TForm1::proxyLine(std::size_t i) const {
    return memoLoadLines_->line(i);
}
void TForm1::resultAdded(const CheckResult& r) {
    appendResult(resultLine(r.verdict.outcome, r.proxy));
}
void TForm1::appendResult(const std::string& line) {
    memo1Lines_->append(line);
}

std::string TForm1::listText() const {
    return memoLoadLines_->text();
}
void TForm1::setListText(const std::string& text) {
    memoLoadLines_->setText(text);
}
std::string TForm1::rememberedPath() const {
    return QFile::encodeName(LoadFile_NamePath->text()).toStdString();
}
void TForm1::setRememberedPath(const std::string& path) {
    LoadFile_NamePath->setText(QFile::decodeName(QByteArray::fromStdString(path)));
    LoadFile_NamePath->adjustSize();
    fitCanvas();
}
bool TForm1::overwriteSave() const {
    return CheckBox1->isChecked();
}
