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
    // The chunk's last line that holds anything: the newest output, from
    // its start, so that it reads as a whole line. One too long for the
    // panel gives up its end; the tooltip holds it whole. No character is
    // narrower than a pixel nor longer than four bytes, so four bytes per
    // pixel of the panel's width are all the measuring needs.
    std::string_view rest = full_;
    std::string_view line;
    while (!rest.empty() && line.empty()) {
        const std::size_t cut = rest.find_last_of('\n');
        line = cut == std::string_view::npos ? rest : rest.substr(cut + 1);
        rest = cut == std::string_view::npos ? std::string_view() : rest.substr(0, cut);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
            line.remove_suffix(1);
    }
    const int width = contentsRect().width();
    const std::size_t keep = 4 * static_cast<std::size_t>(std::max(width, 0)) + 64;
    constexpr std::size_t kTipBytes = 4096;
    const auto head = [](std::string_view text, std::size_t bytes) {
        if (text.size() <= bytes)
            return text;
        // Not into the middle of a UTF-8 character.
        while (bytes > 0 && (static_cast<unsigned char>(text[bytes]) & 0xC0u) == 0x80u)
            --bytes;
        return text.substr(0, bytes);
    };
    QString shown = ToQString(head(line, keep));
    shown.replace(QLatin1Char('\r'), QLatin1Char(' '));
    if (line.size() > keep)
        shown += QChar(0x2026);
    const QString elided = fontMetrics().elidedText(shown, Qt::ElideRight, width);
    setText(elided);
    setToolTip(elided == shown && line.size() <= keep ? QString()
                                                      : ToQString(head(line, kTipBytes)));
}

} // namespace veltrane
