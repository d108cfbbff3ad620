#include "editor/question.h"

#include <QMessageBox>
#include <QPushButton>

namespace veltrane {

bool AskYesNo(QWidget* parent, const QString& text)
{
    QMessageBox box(QMessageBox::Question, QStringLiteral("Veltrane"), text,
                    QMessageBox::Yes | QMessageBox::No, parent);
    // The mnemonics answer by a plain key as well (a message box presses the
    // button whose shortcut letter is typed).
    box.button(QMessageBox::Yes)->setText(QStringLiteral("예(&Y)"));
    box.button(QMessageBox::No)->setText(QStringLiteral("아니요(&N)"));
    box.setDefaultButton(QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

} // namespace veltrane
