#pragma once

// What a backup run tells as it goes. The window shows it (status bar panel
// 1 the stage, panel 2 the detail, the result list, a box for a message); the
// headless service prints it. A run may tell it from a thread of its own:
// an observer that shows it elsewhere passes it on.

#include <string>

namespace veltrane {

class RunObserver
{
public:
    virtual ~RunObserver() = default;

    // The stage of the run ("[ORCL] BackUp...", "Transfer Start.", "Ready.").
    virtual void Stage(const std::string& text) = 0;
    // Its detail: the command line in force, a chunk of its output, a
    // failure's text.
    virtual void Detail(const std::string& text) = 0;
    // A finished result line, "[yyyy-MM-dd hh:mm:ss] text" (already kept in
    // the history file).
    virtual void Line(const std::string& line) = 0;
    // A message for the operator that the window shows in a box that never
    // holds anything (a program that cannot be started, a missing library);
    // `critical` with the stop icon.
    virtual void Message(const std::string& text, bool critical) = 0;
    // A step worth a line where nothing else shows progress (the service's
    // journal during an export of hours); the window shows the command line
    // in its status bar already.
    virtual void Progress(const std::string& text) { static_cast<void>(text); }
    // Called often while the run waits (for output, a child's end, a mail
    // or FTP server), at least every 200 ms. The service ends the program
    // here on a signal; nothing else needs it.
    virtual void Idle() {}
    // Whether the operator asked to stop the run in progress (the window
    // asks it often, with Idle): the command running is stopped, and the
    // run ends as stopped, neither a success nor a failure.
    virtual bool StopRequested() { return false; }
};

} // namespace veltrane
