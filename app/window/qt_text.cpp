#include "window/qt_text.h"

// The conversions are inline; this unit anchors the GUI library in the build.
