#pragma once

#include "job/run_observer.h"

#include <string>
#include <vector>

namespace veltrane::test {

// What a run shows, in order: the window's two panels, its list, its boxes;
// `yields` counts the run's idle calls while it waits.
struct RecordingHost : RunObserver
{
    std::vector<std::string> panel1, panel2, lines, messages, criticals;
    int yields = 0;

    void Stage(const std::string& text) override { panel1.push_back(text); }
    void Detail(const std::string& text) override { panel2.push_back(text); }
    void Line(const std::string& line) override { lines.push_back(line); }
    void Message(const std::string& text, bool critical) override
    {
        (critical ? criticals : messages).push_back(text);
    }
    void Idle() override { ++yields; }
};

} // namespace veltrane::test
