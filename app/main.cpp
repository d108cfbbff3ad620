// Veltrane: backs up Oracle databases on a schedule.

#include "platform/clock.h"
#include "platform/program_folder.h"
#include "platform/single_instance.h"
#include "window/qt_text.h"
#include "window/system_main.h"

#include <QApplication>
#include <QMessageBox>
#include <QTranslator>
#include <cstdio>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    // The window hides into the notification area and lives on there.
    QApplication::setQuitOnLastWindowClosed(false);
    // Qt's own dialogs (message boxes, the folder browser) speak Korean like
    // the window; without the translations they stay in English.
    QTranslator qtTexts;
    veltrane::InstallQtKoreanTexts(qtTexts);

    const std::string folder = veltrane::ProgramFolder();
    veltrane::SingleInstanceLock lock(folder);
    if (!lock.Held()) {
        std::fprintf(stderr, "%s\n", lock.Error().c_str());
        QMessageBox::critical(nullptr, QStringLiteral("Veltrane"),
                              veltrane::ToQString(lock.Error()));
        return 1;
    }

    veltrane::SystemClock clock;
    veltrane::SystemMain window(clock, folder);
    window.show();
    return QApplication::exec();
}
