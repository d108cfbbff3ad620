#pragma once

// SIGTERM and SIGINT end the window's program as its tray's end command does:
// at once, nothing saved, but never leaving the child of a run in progress
// (an export, an import, the archiver) to run on unsupervised.

class QObject;

namespace veltrane {

// Installs the handlers; the notifier that serves them belongs to `parent`.
// The signals are handled from the window's event loop, which a run on the
// worker thread never holds, so they end the program during a run too. False
// when they cannot be set up.
bool EndOnTerminationSignals(QObject* parent);

} // namespace veltrane
