#pragma once

// The window's executor of the schedule's jobs: one worker thread that runs
// them one at a time, in order, while the window's own thread only shows
// what they tell and takes the operator's commands. So no dialog, box or menu
// of the window, each with an event loop of its own, ever holds a run, its
// time limits or the next item.

#include "service/run_executor.h"

#include <QObject>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace veltrane {

class RunWorker final : public QObject, public RunExecutor
{
public:
    explicit RunWorker(QObject* parent = nullptr);
    // Waits for the job in progress (the program's way out stops a run's
    // child first, and does not come here).
    ~RunWorker() override;

    void Submit(std::function<void()> work, std::function<void()> done) override;
    void Post(std::function<void()> task) override;

private:
    struct Job
    {
        std::function<void()> work;
        std::function<void()> done;
    };

    void Loop();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> jobs_;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace veltrane
