#include "platform/line_output.h"

#include "platform/file_io.h"
#include "platform/terminal_text.h"

#include <condition_variable>
#include <csignal>
#include <mutex>
#include <pthread.h>

namespace veltrane {

struct LineOutput::Shared
{
    std::mutex mutex;
    std::condition_variable changed;
    std::string queued;      // the lines waiting, each with its line end
    std::size_t dropped = 0; // lines dropped since the count was last said
    bool writing = false;    // a batch is on its way to the reader
    bool closing = false;
    bool broken = false; // the descriptor cannot be written any more
    const Clock* clock = nullptr;
    int fd = -1;
    std::size_t limit = 0;
};

namespace {

void WriteLines(const std::shared_ptr<LineOutput::Shared>& s)
{
    std::unique_lock lock(s->mutex);
    for (;;) {
        s->changed.wait(lock, [&] { return !s->queued.empty() || s->dropped > 0 || s->closing; });
        if (s->queued.empty() && s->dropped == 0)
            return; // closing, and nothing left
        // The lines queued before the loss, then its count: the lines after
        // it are dropped until now, so the order stays true.
        std::string batch;
        batch.swap(s->queued);
        if (s->dropped > 0) {
            const std::string text = "출력 " + std::to_string(s->dropped) + "줄을 버렸습니다";
            batch += s->clock != nullptr ? StampedLine(s->clock->Now(), text) : text;
            batch += '\n';
            s->dropped = 0;
        }
        s->writing = true;
        lock.unlock();
        const bool written = WriteAll(s->fd, batch);
        lock.lock();
        s->writing = false;
        s->changed.notify_all();
        if (!written) {
            s->broken = true;
            s->queued.clear();
            s->dropped = 0;
            return;
        }
    }
}

} // namespace

LineOutput::LineOutput(int fd, const Clock& clock, std::size_t limitBytes)
    : shared_(std::make_shared<Shared>())
{
    shared_->fd = fd;
    shared_->clock = &clock;
    shared_->limit = limitBytes;
    // Signals go to the other threads: a handler never cuts a write short.
    sigset_t all;
    sigset_t before;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &before);
    writer_ = std::thread(WriteLines, shared_);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

LineOutput::~LineOutput()
{
    const bool flushed = Flush(std::chrono::seconds(1));
    {
        const std::lock_guard lock(shared_->mutex);
        shared_->closing = true;
        shared_->clock = nullptr; // the thread may outlive the clock
    }
    shared_->changed.notify_all();
    // A thread stuck in a write to a reader that never reads is left to the
    // process's end; it holds nothing of the object's.
    if (flushed)
        writer_.join();
    else
        writer_.detach();
}

void LineOutput::Write(const std::string& text)
{
    // One line each, and nothing in it that a terminal would obey.
    const std::string line = EscapeControlCharacters(text);
    {
        const std::lock_guard lock(shared_->mutex);
        Shared& s = *shared_;
        if (s.broken || s.closing)
            return;
        // Once a line is lost, every later one is too until the reader takes
        // what waits, so that the count stands where the lines went missing.
        if (s.dropped > 0 || (!s.queued.empty() && s.queued.size() + line.size() + 1 > s.limit)) {
            ++s.dropped;
            return;
        }
        s.queued += line;
        s.queued += '\n';
    }
    shared_->changed.notify_all();
}

bool LineOutput::Flush(std::chrono::milliseconds timeout)
{
    std::unique_lock lock(shared_->mutex);
    const Shared& s = *shared_;
    return shared_->changed.wait_for(lock, timeout, [&] {
        return s.broken || (s.queued.empty() && s.dropped == 0 && !s.writing);
    });
}

} // namespace veltrane
