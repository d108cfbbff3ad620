#include "window/window_observer.h"

#include "window/system_main.h"

#include <QMetaObject>
#include <QThread>

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
    if (detailPosted_)
        return;
    detailPosted_ = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            std::string shown;
            {
                const std::lock_guard<std::mutex> again(mutex_);
                shown.swap(detail_);
                detailPosted_ = false;
            }
            window_.SetStatusText(2, shown);
        },
        Qt::QueuedConnection);
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
