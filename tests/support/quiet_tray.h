#pragma once

#include "window/tray.h"

namespace veltrane::test {

// A desktop without side effects for window tests that do not look at the
// tray: the window is never really hidden and the process never ended.
struct QuietTray : TrayPlatform
{
    bool TrayAvailable() const override { return true; }
    void AddIcon(const std::string&) override {}
    void RemoveIcon() override {}
    void HideWindow() override {}
    void MinimizeWindow() override {}
    void ShowWindow() override {}
    int ShowMenu() override { return 0; }
    void EndProcess() override {}
};

} // namespace veltrane::test
