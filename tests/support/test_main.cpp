#include <gtest/gtest.h>

#include "engine/CurlGlobal.h"

int main(int argc, char** argv) {
    const CurlGlobal curl;  // once, before any check thread
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
