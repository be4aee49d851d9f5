#pragma once

#include <QMainWindow>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "engine/threads/CurlHttp.h"
#include "engine/threads/Probe.h"
#include "engine/threads/RunView.h"
#include "lists/ListCommands.h"
#include "ui/DesktopClose.h"

class WindowRun;
class MemoLines;
class QAction;
class QCheckBox;
class QCloseEvent;
class QLabel;
class QMenu;
class QMenuBar;
class QPlainTextEdit;
class QPushButton;
class QScrollArea;

// What the program fixes and tests may change.
struct FormSettings {
    Target target{};
    std::chrono::milliseconds wavePause = kWavePause;
    CheckLimits limits{};
    std::shared_ptr<const HttpLayer> http;  // null: libcurl with the time-outs above
};

// The main window. Holds the run state in its labels and the ten check slots in its check run.
class TForm1 : public QMainWindow, public RunView, public ListHost {
    Q_OBJECT

  public:
    explicit TForm1(FormSettings settings = {}, QWidget* parent = nullptr);
    ~TForm1() override;

    QPushButton* Button1;
    QPlainTextEdit* Memo1;
    QPlainTextEdit* Memo_load;
    QPushButton* Button2;
    QLabel* kusi_th;
    QLabel* Label_kusi;
    QLabel* kusi_now;
    QLabel* kusi_max;
    QLabel* Label235;
    QPushButton* Button3;
    std::unique_ptr<ListDialog> OpenDialog1;
    QPushButton* Button4;
    QPushButton* Button5;
    QCheckBox* CheckBox1;
    QLabel* LoadFile_NamePath;
    std::unique_ptr<ListDialog> SaveDialog1;
    QMenuBar* MainMenu1;
    QMenu* File1;
    QMenu* Help1;
    QAction* About1;
    QAction* N1;
    QAction* N2;
    QAction* N3;
    QAction* Exit1;

    void Button1Click();  // Start: check every proxy of the list
    void Button2Click();  // Abort the run
    void FormClose();     // the window closes: the run stops
    void Button3Click();  // Load a proxy list
    void Button4Click();  // Tidy the result list
    void Button5Click();  // Save the proxy list
    void Exit1Click();    // File > Exit
    void About1Click();   // Help > About

    MemoLines& results() { return *memo1Lines_; }
    MemoLines& proxyList() { return *memoLoadLines_; }
    QScrollArea* scrollArea() const { return scroll_; }
    WindowRun& run() { return *run_; }

    // RunView: the run's events, shown in the labels and the result list
    void flagChanged(RunFlag flag) override;
    void doneChanged(long long done) override;
    void totalChanged(long long total) override;
    void statusChanged(RunStatus status) override;
    std::size_t proxyCount() const override;
    std::string proxyLine(std::size_t i) const override;
    void resultAdded(const CheckResult& result) override;
    void appendResult(const std::string& line);  // a line at the end of the result list

    // ListHost
    std::string listText() const override;
    void setListText(const std::string& text) override;
    std::string rememberedPath() const override;
    void setRememberedPath(const std::string& path) override;
    bool overwriteSave() const override;

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    void buildControls();
    void buildMenu();
    void setLabelBytes(QLabel* label, const std::string& text);
    void pauseWithoutInput(std::chrono::milliseconds ms, const std::function<bool()>& interrupted);
    // The scroll range covers every control, labels grown by their texts included.
    void fitCanvas();
    // Runs a list command; a file error it raises names the path in Shift_JIS, as the window shows it.
    void withPathsAsShown(const std::function<void()>& command);

    QScrollArea* scroll_;
    QWidget* canvas_;
    std::unique_ptr<MemoLines> memo1Lines_;
    std::unique_ptr<MemoLines> memoLoadLines_;
    std::unique_ptr<WindowRun> run_;
    bool closeHeld_ = false;  // a close that cut Start's dispatch short
    DesktopClose desktopClose_;
};

extern TForm1* Form1;
