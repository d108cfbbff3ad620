#pragma once

// How a run shows in the window: its stage in status panel 1, its detail in
// panel 2, its result lines in the list, its messages in a box. A run tells
// it from the worker thread; the window shows it on its own thread, in the
// order told. Panel 2's detail comes thousands of times a second while an
// export talks: only the latest waits to be shown.

#include "job/run_observer.h"

#include <QObject>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>

namespace veltrane {

class SystemMain;

class WindowObserver final : public QObject, public RunObserver
{
public:
    explicit WindowObserver(SystemMain& window);

    void Stage(const std::string& text) override;
    void Detail(const std::string& text) override;
    void Line(const std::string& line) override;
    void Message(const std::string& text, bool critical) override;
    bool StopRequested() override { return stop_; }

    // Asks the run in progress to stop; the request ends with that run (its
    // "Ready."), so it never reaches the next one.
    void RequestStop() { stop_ = true; }
    void ForgetStop() { stop_ = false; }

private:
    // Runs `show` now on the window's thread, or queued to it from another.
    void OnWindow(std::function<void()> show);
    void ShowLatestDetail();

    static constexpr std::chrono::milliseconds kDetailInterval{16};

    SystemMain& window_;
    std::mutex mutex_;
    std::string detail_;        // the latest detail not yet shown
    bool detailNew_ = false;    // detail_ came after the last show
    bool detailPosted_ = false; // a show, or the interval after one, is pending
    std::atomic<bool> stop_{false};
};

} // namespace veltrane
