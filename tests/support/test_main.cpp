#include <gtest/gtest.h>

#include "engine/rules/ProcessSetup.h"

int main(int argc, char** argv) {
    const ProcessSetup setup;  // once, before any check thread
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
