#pragma once

// The one way the window and the editor ask the operator before something
// that cannot be taken back: a box with "예(Y)" and "아니요(N)", where Enter
// and Escape both answer no (a hurried key never discards or deletes).

class QString;
class QWidget;

namespace veltrane {

// Shows `text` in a modal box owned by `parent`; true for yes.
bool AskYesNo(QWidget* parent, const QString& text);

} // namespace veltrane
