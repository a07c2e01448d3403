#include "ui/Form.h"

#include "core/ErrorTrap.h"

#include <QCloseEvent>

Form::Form(const QString &name, QWidget *parent)
    : QWidget(parent)
{
    setObjectName(name);
    // The program decides when it ends, not Qt's last-window rule.
    setAttribute(Qt::WA_QuitOnClose, false);
}

void Form::Form_Unload()
{
    [[maybe_unused]] const Trap trap(objectName(), u"Form_Unload"_qs);

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
