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
    int quits = 0;
    // Called when a message is shown, while the handler that shows it waits.
    std::function<void()> onMessage;

    void showMessage(const QString &text) override
    {
        messages << text;
        if (onMessage)
            onMessage();
    }
    void endProgram() override { ++endRequests; }

protected:
    void quit() override { ++quits; }
};

// Types each character as a key into the focused widget (QTest::keyClicks
// knows ASCII only); Qt's key codes are those of the capital letters.
inline void typeText(const QString &text)
{
    for (const QChar c : text)
        QTest::sendKeyEvent(QTest::Click, QApplication::focusWidget(),
                            Qt::Key(c.toUpper().unicode()), QString(c), Qt::NoModifier);
}

inline void press(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
{
    QTest::keyClick(QApplication::focusWidget(), key, modifiers);
}
