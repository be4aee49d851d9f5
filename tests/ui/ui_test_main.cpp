#include <gtest/gtest.h>

#include <cstdlib>

#include "engine/rules/ProcessSetup.h"
#include "ui/Application.h"
#include "ui/ErrorDisplay.h"

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);  // no display needed, also while tests are listed
    const ProcessSetup setup;
    TApplication app(argc, argv);
    setUpApplication();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
