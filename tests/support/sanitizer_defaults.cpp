// Settings every test program starts with, compiled into each of them: the
// sanitizers read these before main, and Qt reads its platform when the
// application object is made.

#include <cstdlib>

extern "C" {

const char* __asan_default_options()
{
    return "detect_leaks=1:abort_on_error=0";
}

const char* __ubsan_default_options()
{
    return "print_stacktrace=1:halt_on_error=1";
}

// Leaks inside third-party libraries that the program does not own.
const char* __lsan_default_suppressions()
{
    return "leak:libfontconfig\n"
           "leak:libdbus\n"
           "leak:libQt6\n"
           "leak:libcurl\n"
           "leak:libgnutls\n"
           "leak:libcrypto\n"
           "leak:libp11-kit\n";
}
}

namespace {

// No test needs a display: the windows are drawn offscreen.
const bool kOffscreen = [] { return setenv("QT_QPA_PLATFORM", "offscreen", 0) == 0; }();

} // namespace
