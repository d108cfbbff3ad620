#pragma once

// Lines to a descriptor that somebody else reads (the headless service's
// standard output: the journal, a pipe, a terminal), written so that a reader
// that stalls never holds the writer. A thread of its own does the writing;
// the caller only queues. While the reader takes nothing, up to a limit of
// bytes wait; beyond it lines are dropped and counted, and once the reader
// takes lines again the count is said in a line of its own, after the lines
// that came before the loss:
//
//   [2026-12-08 02:00:07] 출력 1517줄을 버렸습니다
//
// The writing thread blocks every signal, so no handler interrupts its
// writes; a write cut short is finished. A reader that is gone for good (a
// closed pipe, a descriptor that cannot be written) ends the writing, and
// later lines go nowhere.

#include "platform/clock.h"

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <thread>

namespace veltrane {

inline constexpr std::size_t kLineOutputLimitBytes = 64 * 1024;

class LineOutput
{
public:
    // Writes to `fd`, which stays open and the caller's. `clock` stamps the
    // line that counts dropped lines; it must outlive the object.
    LineOutput(int fd, const Clock& clock, std::size_t limitBytes = kLineOutputLimitBytes);
    // Waits up to a second for the lines still queued, then leaves them.
    ~LineOutput();
    LineOutput(const LineOutput&) = delete;
    LineOutput& operator=(const LineOutput&) = delete;

    // Queues `line`, its control characters escaped (terminal_text.h), and a
    // line end, or drops it (see above). Never blocks for
    // longer than it takes to queue; safe from several threads.
    void Write(const std::string& line);

    // Waits up to `timeout` until every line queued so far is written (or
    // dropped); false when the reader did not take them in time.
    bool Flush(std::chrono::milliseconds timeout);

    struct Shared; // what the writing thread and the object share

private:
    std::shared_ptr<Shared> shared_; // the writing thread's too: it may outlive the object
    std::thread writer_;
};

} // namespace veltrane
