// The main() of test programs that need a QApplication (the tray icon and its menu are widgets) or
// draw Qt Quick windows, which the software renderer draws under Xvfb without Mesa's rasteriser.

#include <QApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (GTEST_FLAG_GET(list_tests)) // test discovery runs without a display
        return RUN_ALL_TESTS();
    if (qEnvironmentVariableIsEmpty("QT_QUICK_BACKEND"))
        qputenv("QT_QUICK_BACKEND", "software");
    QApplication application(argc, argv);
    return RUN_ALL_TESTS();
}
