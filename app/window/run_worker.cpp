#include "window/run_worker.h"

#include <QMetaObject>

namespace veltrane {

RunWorker::RunWorker(QObject* parent) : QObject(parent), thread_([this] { Loop(); }) {}

RunWorker::~RunWorker()
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        jobs_.clear();
    }
    wake_.notify_all();
    thread_.join();
}

void RunWorker::Submit(std::function<void()> work, std::function<void()> done)
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        jobs_.push_back({std::move(work), std::move(done)});
    }
    wake_.notify_one();
}

void RunWorker::Post(std::function<void()> task)
{
    // Queued to this object's (the window's) thread; dropped if the object is
    // gone by then.
    QMetaObject::invokeMethod(this, std::move(task), Qt::QueuedConnection);
}

void RunWorker::Loop()
{
    for (;;) {
        Job job;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
            if (stopping_)
                return;
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        job.work();
        Post(std::move(job.done));
    }
}

} // namespace veltrane
