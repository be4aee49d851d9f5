// List editor figures through the real widgets (offscreen), each beside the same work on a plain line list.

#include <QApplication>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "engine/rules/ProbeRules.h"
#include "engine/rules/ProcessSetup.h"
#include "lists/LineList.h"
#include "lists/ListCommands.h"
#include "lists/ListFile.h"
#include "lists/Tidy.h"
#include "ui/MemoLines.h"
#include "ui/Unit1.h"

namespace {

double ms(const std::function<void()>& work) {
    QElapsedTimer t;
    t.start();
    work();
    return double(t.nsecsElapsed()) / 1e6;
}

// The open dialog, confirming one name.
struct ScriptedOpen : ListDialog {
    explicit ScriptedOpen(std::string name) : name(std::move(name)) {}
    bool execute() override { return true; }
    std::string fileName() const override { return name; }
    std::string name;
};

std::string proxyList(int lines) {
    std::string text;
    for (int i = 0; i < lines; ++i)
        text += std::to_string(10 + i % 200) + "." + std::to_string(i % 256) + ".0." + std::to_string(i % 250 + 1) +
                ":" + std::to_string(1024 + i % 50000) + "\r\n";
    return text;
}

long peakResidentKiB() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("VmHWM:")) return std::stol(line.substr(6));
    return -1;
}

// Loads one list of `lines` lines of `width` bytes (0: line feeds only, 21: the longest IPv4 proxy text)
// through Load into the editor, in a process of its own so that its peak memory is its own. Prints
// "lines ms peak_MiB loaded|refused".
int loadOne(int argc, char** argv, long lines, int width) {
    const std::string file = "/tmp/kiriha-bench-load.txt";
    {
        std::string text;
        text.reserve(std::size_t(lines) * std::size_t(width + 1));
        const std::string line = std::string(std::size_t(width), '7');
        for (long i = 0; i < lines; ++i) text.append(line).append("\n");
        writeListFile(file, text);
    }
    QApplication app(argc, argv);
    TForm1 form;
    form.show();
    QApplication::processEvents();
    const long before = peakResidentKiB();
    ScriptedOpen open(file);
    bool refused = false;
    const double took = ms([&] {
        try {
            loadList(form, open);
        } catch (const ListFileError&) {
            refused = true;
        }
        QApplication::processEvents();
    });
    std::printf("%ld %.0f %.0f %s\n", lines, took, double(peakResidentKiB() - before) / 1024,
                refused ? "refused" : "loaded");
    std::remove(file.c_str());
    return 0;
}

struct Figure {
    const char* name;
    double ours;
    double raw;
};

}  // namespace

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    if (argc == 4 && std::string(argv[1]) == "--load") return loadOne(1, argv, std::atol(argv[2]), std::atoi(argv[3]));
    if (argc == 2 && std::string(argv[1]) == "--limits")  // for the script: the lines and bytes Load takes
        return std::printf("%zu %zu\n", kMaxListLines, kMaxListBytes), 0;
    const ProcessSetup setup;
    std::vector<Figure> figures;
    {
        QApplication app(argc, argv);
        TForm1 form;
        form.show();
        QApplication::processEvents();
        const std::string list = proxyList(100000);

        LineList raw;
        // Loading a file: read and normalise, then into the editor (the figure the user waits for).
        const std::string file = "/tmp/kiriha-bench-100k.txt";
        writeListFile(file, list);
        const double loadFileRaw = ms([&] { raw.setText(readRegularListFile(file)); });
        const double load = ms([&] { form.setListText(readRegularListFile(file)); });
        figures.push_back({"load_100k_ms", load, loadFileRaw});

        std::size_t bytes = 0, rawBytes = 0;
        const double readRaw = ms([&] {
            for (std::size_t i = 0; i < raw.count(); ++i) rawBytes += raw.line(i).size();
        });
        const double read = ms([&] {
            MemoLines& lines = form.proxyList();
            for (std::size_t i = 0; i < lines.count(); ++i) bytes += lines.line(i).size();
        });
        if (bytes != rawBytes) std::fprintf(stderr, "read mismatch %zu %zu\n", bytes, rawBytes);
        figures.push_back({"read_all_100k_ms", read, readRaw});

        LineList rawResults("\r\n");
        const double appendRaw = ms([&] {
            for (int i = 0; i < 10000; ++i) rawResults.append(resultLine(ProbeOutcome::Working, raw.line(i)));
        });
        const double append = ms([&] {
            for (int i = 0; i < 10000; ++i) form.appendResult(resultLine(ProbeOutcome::Working, raw.line(i)));
            QApplication::processEvents();  // the layout and paint the appends asked for
        });
        if (form.results().text() != rawResults.text()) std::fprintf(stderr, "append mismatch\n");
        figures.push_back({"append_10k_ms", append, appendRaw});

        // Tidy a 100,000-line result list: a third dead, a third working, a third aborted.
        std::string results = "\r\n";
        for (std::size_t i = 0; i < 100000; ++i)
            results += resultLine(ProbeOutcome(char('1' + i % 3)), raw.line(i)) + "\r\n";
        LineList rawList(results);
        form.results().setText(results);
        QApplication::processEvents();
        const double tidyRaw = ms([&] { rawList.setText(tidyResults(rawList.text())); });
        const double tidy = ms([&] {
            form.Button4Click();
            QApplication::processEvents();
        });
        if (form.results().text() != rawList.text()) std::fprintf(stderr, "tidy mismatch\n");
        figures.push_back({"tidy_100k_ms", tidy, tidyRaw});
    }
    std::printf("%-20s %12s %12s %8s\n", "figure", "editor", "raw", "ratio");
    for (const Figure& f : figures) std::printf("%-20s %12.1f %12.1f %8.1f\n", f.name, f.ours, f.raw, f.ours / f.raw);
    for (const Figure& f : figures) std::printf("%s=%.1f raw_%s=%.1f ", f.name, f.ours, f.name, f.raw);
    std::printf("\n");
    return 0;
}
