// Test entry for everything below the window: a QCoreApplication, no display.
#include <QCoreApplication>
#include <curl/curl.h>
#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    curl_global_init(CURL_GLOBAL_DEFAULT);
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    const int rc = RUN_ALL_TESTS();
    curl_global_cleanup();
    return rc;
}
