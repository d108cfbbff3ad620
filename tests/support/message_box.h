#pragma once

// Answers the message boxes that widget tests meet on the offscreen platform,
// where no one can press a button.

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <gtest/gtest.h>
#include <memory>

namespace veltrane::test {

// Once the next modal message box is up (within two seconds), keeps its text
// in `text` and presses `button` on it.
inline void AnswerNextBox(QMessageBox::StandardButton button, QString* text = nullptr)
{
    auto* poll = new QTimer;
    auto triesLeft = std::make_shared<int>(200);
    QObject::connect(poll, &QTimer::timeout, [=] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr && --*triesLeft > 0)
            return;
        poll->stop();
        poll->deleteLater();
        if (box == nullptr) {
            ADD_FAILURE() << "no message box came up";
            return;
        }
        if (text != nullptr)
            *text = box->text();
        box->button(button)->click();
    });
    poll->start(10);
}

} // namespace veltrane::test
