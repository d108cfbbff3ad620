// The main of every test program that drives widgets: one QApplication for the
// whole program, made before any test and destroyed after the last (a static
// one would outlive Qt's own teardown). The platform is offscreen (see
// sanitizer_defaults.cpp), so no display is needed.

#include <QApplication>
#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
