#pragma once

// The real App with the desktop's blocking and ending parts recorded, so
// tests drive the real windows and see every message and end request.
#include "ui/App.h"

#include <QApplication>
#include <QTest>

#include <functional>

class TestApp : public App {
public:
    QStringList messages;
    int endRequests = 0;
    int exitStatus = -1; // of the last end request
    int quits = 0;
    // Called when a message is shown, while the handler that shows it waits.
    std::function<void()> onMessage;

    void showMessage(const QString &text) override
    {
        messages << text;
        if (onMessage)
            onMessage();
    }
    void endProgram(int status) override
    {
        ++endRequests;
        exitStatus = status;
    }

protected:
    void quit() override { ++quits; }
};

// Keys go where the user's would: to the focused control. A window that
// went away unexpectedly fails the test instead of aborting the suite.
inline QWidget *keyTarget()
{
    QWidget *target = QApplication::focusWidget();
    if (!target)
        QTest::qFail("no control has the focus", __FILE__, __LINE__);
    return target;
}

// Types each character as a key (QTest::keyClicks knows ASCII only); Qt's
// key codes are those of the capital letters.
inline void typeText(const QString &text)
{
    for (const QChar c : text) {
        if (QWidget *target = keyTarget())
            QTest::sendKeyEvent(
                QTest::Click, target, Qt::Key(c.toUpper().unicode()), QString(c), Qt::NoModifier);
    }
}

inline void press(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
{
    if (QWidget *target = keyTarget())
        QTest::keyClick(target, key, modifiers);
}
