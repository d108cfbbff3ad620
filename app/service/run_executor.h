#pragma once

// Where the schedule's jobs (a backup run, an overdue mail, the clean-up of
// an interrupted run) execute. The headless service runs them on its own
// thread, one after the other; the window runs them on a worker thread, so
// that no dialog, box or menu of its own ever holds a run.

#include <functional>

namespace veltrane {

class RunExecutor
{
public:
    virtual ~RunExecutor() = default;

    // Runs `work`, then `done` on the owner's thread (the one that submits).
    // Jobs run one at a time, in the order they were submitted.
    virtual void Submit(std::function<void()> work, std::function<void()> done) = 0;
    // Runs `task` on the owner's thread: from a job, at once or soon after.
    virtual void Post(std::function<void()> task) = 0;
};

// Runs every job on the caller's thread, at once.
class InlineExecutor final : public RunExecutor
{
public:
    void Submit(std::function<void()> work, std::function<void()> done) override
    {
        work();
        done();
    }
    void Post(std::function<void()> task) override { task(); }
};

} // namespace veltrane
