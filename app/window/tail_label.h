#pragma once

// Status panel 2 is one line high, and the command's output arrives in chunks
// of several lines: the panel shows the chunk's last line that holds
// anything, the newest output, from its start; a line too long for the panel
// gives up its end, and its tooltip shows it whole. The text as set is kept
// whole.
//
// A talkative export sets a new text every 256 bytes, thousands of times a
// second, far more often than a screen can show; laying out, measuring and
// painting each one would cost the run most of its time. So the panel keeps
// every text as it is set, but shows at most one per display interval: a text
// set after a quiet spell shows at once, the texts set within an interval
// after it wait, and the latest of them shows when the interval ends.

#include <QLabel>
#include <QTimer>
#include <string>

namespace veltrane {

class TailLabel : public QLabel
{
public:
    TailLabel();

    void SetFullText(const std::string& text);
    const std::string& FullText() const { return full_; }

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    // About 60 texts a second, a screen's rate.
    static constexpr int kDisplayIntervalMs = 16;

    void Elide();

    std::string full_;
    QTimer interval_;
    bool pending_ = false;
};

} // namespace veltrane
