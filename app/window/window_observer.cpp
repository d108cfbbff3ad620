#include "window/window_observer.h"

#include "window/system_main.h"

#include <QMetaObject>
#include <QThread>
#include <QTimer>

namespace veltrane {

WindowObserver::WindowObserver(SystemMain& window) : QObject(&window), window_(window) {}

void WindowObserver::OnWindow(std::function<void()> show)
{
    if (QThread::currentThread() == thread())
        show();
    else
        QMetaObject::invokeMethod(this, std::move(show), Qt::QueuedConnection);
}

void WindowObserver::Stage(const std::string& text)
{
    // Told by the run's own thread as it ends, before the next run starts.
    if (text == "Ready.")
        ForgetStop();
    OnWindow([this, text] { window_.SetStatusText(1, text); });
}

void WindowObserver::Detail(const std::string& text)
{
    if (QThread::currentThread() == thread()) {
        window_.SetStatusText(2, text);
        return;
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    detail_ = text;
    detailNew_ = true;
    if (detailPosted_)
        return; // the queued show, or the interval after it, takes this one
    detailPosted_ = true;
    QMetaObject::invokeMethod(
        this, [this] { ShowLatestDetail(); }, Qt::QueuedConnection);
}

// Shows the latest detail, then waits one interval before showing another:
// the export's thread posts nothing while it waits, so a burst of output
// wakes the window about sixty times a second rather than once a chunk.
void WindowObserver::ShowLatestDetail()
{
    std::string shown;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (!detailNew_) {
            detailPosted_ = false; // quiet for an interval: the next shows at once
            return;
        }
        shown.swap(detail_);
        detailNew_ = false;
    }
    window_.SetStatusText(2, shown);
    QTimer::singleShot(kDetailInterval, this, [this] { ShowLatestDetail(); });
}

void WindowObserver::Line(const std::string& line)
{
    OnWindow([this, line] { window_.AppendResultLine(line); });
}

void WindowObserver::Message(const std::string& text, bool critical)
{
    OnWindow([this, text, critical] {
        if (critical)
            window_.ShowCritical(text);
        else
            window_.ShowMessage(text);
    });
}

} // namespace veltrane
