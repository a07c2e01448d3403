#include "ui/Form.h"

#include "ui/Look.h"

#include <QApplication>
#include <QCloseEvent>
#include <QPushButton>
#include <QWindow>

#include <utility>

namespace {

bool isUserInput(QEvent::Type type)
{
    switch (type) {
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
    case QEvent::Shortcut:
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    // A move too: the script box would put its own pointer back.
    case QEvent::MouseMove:
    case QEvent::Wheel:
    case QEvent::ContextMenu:
    case QEvent::DragEnter:
    case QEvent::Drop:
    case QEvent::InputMethod:
    case QEvent::Close:
        return true;
    default:
        return false;
    }
}

} // namespace

Form::Form(const char16_t *name, const QString &caption, int clientWidth, int clientHeight,
    QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QString::fromUtf16(name));
    setWindowTitle(caption);
    Look::applyWindowLook(this, QSize(Look::twips(clientWidth), Look::twips(clientHeight)));
    // The program decides when it ends, not Qt's last-window rule.
    setAttribute(Qt::WA_QuitOnClose, false);
}

Form::~Form()
{
    qApp->removeEventFilter(this);
}

Trap Form::handlerTrap(const char16_t *procedure) const
{
    return Trap(objectName(), QString::fromUtf16(procedure));
}

void Form::Form_Unload()
{
    [[maybe_unused]] const Trap trap = handlerTrap(u"Form_Unload");

    if (m_unloaded)
        return;
    m_unloaded = true;
    emit unloaded();
}

void Form::unloadWindow()
{
    // The close event runs Form_Unload; calling it again is harmless and
    // keeps the unload certain should a close ever deliver no event.
    close();
    Form_Unload();
}

void Form::closeEvent(QCloseEvent *event)
{
    Form_Unload();
    event->accept();
}

void Form::setBusy(bool busy)
{
    if (busy == m_busy)
        return;
    m_busy = busy;
    if (busy) {
        // Boxes carry a cursor of their own, which would show over the wait one.
        for (QWidget *w : findChildren<QWidget *>()) {
            if (w->testAttribute(Qt::WA_SetCursor)) {
                m_ownCursors.append({ w, w->cursor() });
                w->setCursor(Qt::WaitCursor);
            }
        }
        setCursor(Qt::WaitCursor);
        // A disabled button gives its focus away: it comes back with showReady.
        m_focusBeforeBusy = focusWidget();
        for (QPushButton *button : findChildren<QPushButton *>()) {
            if (button->isEnabled()) {
                m_disabledButtons.append(button);
                button->setEnabled(false);
            }
        }
        qApp->installEventFilter(this);
    } else {
        showReady();
        qApp->removeEventFilter(this);
        unsetCursor();
        for (const auto &[w, cursor] : std::as_const(m_ownCursors)) {
            if (w)
                w->setCursor(cursor);
        }
        m_ownCursors.clear();
    }
}

void Form::showReady()
{
    for (const QPointer<QWidget> &button : std::as_const(m_disabledButtons)) {
        if (button)
            button->setEnabled(true);
    }
    m_disabledButtons.clear();
    if (QWidget *focus = std::exchange(m_focusBeforeBusy, nullptr); focus && focus->isEnabled())
        focus->setFocus();
}

bool Form::eventFilter(QObject *watched, QEvent *event)
{
    if (m_busy && isUserInput(event->type())) {
        auto *widget = qobject_cast<QWidget *>(watched);
        if (widget && (widget == this || isAncestorOf(widget)))
            return true;
        if (watched == static_cast<QObject *>(windowHandle()))
            return true;
    }
    return QWidget::eventFilter(watched, event);
}
