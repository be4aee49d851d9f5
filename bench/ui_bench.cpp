// List editor figures through the real widgets (offscreen), each beside the same work on a plain line list.
#include <curl/curl.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "engine/Probe.h"
#include "lists/LineList.h"
#include "ui/MemoLines.h"
#include "ui/Unit1.h"

namespace {

double ms(const std::function<void()>& work) {
    QElapsedTimer t;
    t.start();
    work();
    return double(t.nsecsElapsed()) / 1e6;
}

std::string proxyList(int lines) {
    std::string text;
    for (int i = 0; i < lines; ++i)
        text += std::to_string(10 + i % 200) + "." + std::to_string(i % 256) + ".0." + std::to_string(i % 250 + 1) +
                ":" + std::to_string(1024 + i % 50000) + "\r\n";
    return text;
}

struct Figure {
    const char* name;
    double ours;
    double raw;
};

}  // namespace

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    curl_global_init(CURL_GLOBAL_DEFAULT);
    std::vector<Figure> figures;
    {
        QApplication app(argc, argv);
        TForm1 form;
        form.show();
        QApplication::processEvents();
        const std::string list = proxyList(100000);

        LineList raw;
        const double loadRaw = ms([&] { raw.setText(list); });
        const double load = ms([&] { form.proxyList().setText(list); });
        figures.push_back({"load_100k_ms", load, loadRaw});

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
    }
    std::printf("%-20s %12s %12s %8s\n", "figure", "editor", "raw", "ratio");
    for (const Figure& f : figures) std::printf("%-20s %12.1f %12.1f %8.1f\n", f.name, f.ours, f.raw, f.ours / f.raw);
    for (const Figure& f : figures) std::printf("%s=%.1f raw_%s=%.1f ", f.name, f.ours, f.name, f.raw);
    std::printf("\n");
    curl_global_cleanup();
    return 0;
}
