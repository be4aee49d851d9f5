#include <curl/curl.h>
#include <gtest/gtest.h>

#include <cstdlib>

#include "ui/ErrorDisplay.h"

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);  // no display needed, also while tests are listed
    curl_global_init(CURL_GLOBAL_DEFAULT);
    TApplication app(argc, argv);
    QApplication::setApplicationDisplayName(QStringLiteral("霧葉（きりは）"));
    ::testing::InitGoogleTest(&argc, argv);
    const int rc = RUN_ALL_TESTS();
    curl_global_cleanup();
    return rc;
}
