// The screens suite's entry: widgets need their application object before anything else.

#include <QApplication>
#include <cstdlib>
#include <gtest/gtest.h>

// The desktop's message bus library, which Qt's X11 platform loads, keeps one buffer for the
// life of the process; it is not this program's to free.
extern "C" const char *__lsan_default_suppressions()
{
    return "leak:libdbus-1.so\n";
}

int main(int argc, char **argv)
{
    // Test discovery runs this binary at build time, without a display; the test command runs
    // it under Xvfb, where the widgets meet a real X server.
    if (!std::getenv("QT_QPA_PLATFORM") && !std::getenv("DISPLAY"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
