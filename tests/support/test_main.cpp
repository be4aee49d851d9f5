#include <curl/curl.h>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    curl_global_init(CURL_GLOBAL_DEFAULT);  // once, before any check thread
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
