#include "ui/Form.h"

#include "ui/Look.h"

#include <QCloseEvent>

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
