#pragma once

// What the backup run needs from the window that shows it. The main window
// implements it; tests record what happens.

#include "job/exe_cmd.h"

#include <string>

namespace veltrane {

class BackupHost : public MessageSink
{
public:
    // Status bar panels are numbered from 1: panel 1 the stage, panel 2 the detail.
    virtual void SetStatusText(int panel, const std::string& text) = 0;
    virtual std::string StatusText(int panel) const = 0;
    // Appends a finished result line ("[yyyy-MM-dd hh:mm:ss] text") to the list.
    virtual void AppendResultLine(const std::string& line) = 0;
    // Lets the window process its pending events (timer ticks included) and returns.
    virtual void Yield() = 0;
    // A modal message box with the program's title, an OK button and no icon.
    virtual void ShowMessage(const std::string& text) = 0;
    // Rebuilds the item list after a run.
    virtual void RefreshItemList() = 0;
    // The text of the free-disk-space label shown in the report.
    virtual std::string FreeDiskSpaceText() const { return {}; }
    // A step worth a line where nothing else shows progress (the service's
    // journal during an export of hours); the window shows the command line
    // in its status bar already and ignores it.
    virtual void Progress(const std::string& text) { static_cast<void>(text); }
};

} // namespace veltrane
