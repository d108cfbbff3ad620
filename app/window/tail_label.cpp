#include "window/tail_label.h"

#include "editor/qt_text.h"

#include <QResizeEvent>
#include <algorithm>
#include <string_view>

namespace veltrane {

TailLabel::TailLabel()
{
    // A long text must not widen the status bar, and so the window.
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    interval_.setSingleShot(true);
    interval_.setTimerType(Qt::PreciseTimer);
    connect(&interval_, &QTimer::timeout, this, [this] {
        if (!pending_)
            return;
        Elide();
        interval_.start(kDisplayIntervalMs);
    });
}

void TailLabel::SetFullText(const std::string& text)
{
    full_ = text;
    if (interval_.isActive()) {
        pending_ = true;
        return;
    }
    Elide();
    interval_.start(kDisplayIntervalMs);
}

void TailLabel::resizeEvent(QResizeEvent* event)
{
    QLabel::resizeEvent(event);
    Elide();
}

void TailLabel::Elide()
{
    pending_ = false;
    // Only the end of a long text can show: no character is narrower
    // than a pixel nor longer than four bytes, so four bytes per pixel of
    // the panel's width are all the measuring needs, whatever the length.
    const int width = contentsRect().width();
    const std::size_t keep = 4 * static_cast<std::size_t>(std::max(width, 0)) + 64;
    std::string_view tail = full_;
    bool cut = false;
    if (tail.size() > keep) {
        tail.remove_prefix(tail.size() - keep);
        // Not into the middle of a UTF-8 character.
        while (!tail.empty() && (static_cast<unsigned char>(tail.front()) & 0xC0u) == 0x80u)
            tail.remove_prefix(1);
        cut = true;
    }
    QString line = ToQString(tail);
    if (cut)
        line.prepend(QChar(0x2026));
    line.replace(QStringLiteral("\r\n"), QStringLiteral(" "));
    line.replace(QLatin1Char('\n'), QLatin1Char(' '));
    line.replace(QLatin1Char('\r'), QLatin1Char(' '));
    setText(fontMetrics().elidedText(line, Qt::ElideLeft, width));
}

} // namespace veltrane
