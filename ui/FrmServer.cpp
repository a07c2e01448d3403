#include "ui/FrmServer.h"

#include "core/ErrorTrap.h"
#include "core/ModPublic.h"
#include "core/Platform.h"
#include "core/Text.h"
#include "ui/Look.h"

#include <QCoreApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPainter>
#include <QPushButton>

#include <algorithm>

namespace {

// The client area and the rule under the boxes, in twips.
constexpr int kClientWidth = 5100;
constexpr int kClientHeight = 2055;
constexpr int kLineY = 1575;
constexpr int kLineX2 = 5160;

// The strip left of the buttons that says what is being connected to.
constexpr int kConnectingLeft = 135;
constexpr int kConnectingTop = 1665;
constexpr int kConnectingWidth = 3120;
constexpr int kConnectingHeight = 315;

} // namespace

FrmServer::FrmServer(QWidget *parent)
    : Form(u"FrmServer", u"Server Details"_qs, kClientWidth, kClientHeight, parent)
{

    TxtServer = addBox(u"TxtServer", 1365, 120, 3615, 285);
    TxtDBName = addBox(u"TxtDBName", 1365, 480, 2175, 285);
    TxtuserName = addBox(u"TxtuserName", 1365, 840, 3615, 285);
    TxtPassword = addBox(u"TxtPassword", 1365, 1215, 3615, 285);
    // Shown as typed in the original design; a password on screen is a fault.
    TxtPassword->setEchoMode(QLineEdit::Password);
    CmdOK = addButton(u"CmdOK", u"&OK", 3345, 1665, 780, 315);
    CmdCancel = addButton(u"CmdCancel", u"&CANCEL", 4185, 1665, 780, 315);
    Look::addLabel(this, u"Lbl1", u"Server Name", 135, 157, 1050, 210, TxtServer);
    Look::addLabel(this, u"Label1", u"Database", 135, 517, 750, 210, TxtDBName);
    Look::addLabel(this, u"Label2", u"User Name", 135, 877, 885, 210, TxtuserName);
    Look::addLabel(this, u"Label3", u"Password", 135, 1252, 765, 210, TxtPassword);
    TxtPort = addBox(u"TxtPort", 4230, 480, 735, 285);
    TxtPort->setText(u"3306"_qs);
    Look::addLabel(this, u"Label4", u"Port", 3720, 510, 345, 210, TxtPort);
    m_connecting = new QLabel(this);
    m_connecting->setObjectName(u"Connecting"_qs);
    // A pasted name is shown as it is, never read as markup.
    m_connecting->setTextFormat(Qt::PlainText);
    m_connecting->setGeometry(
        Look::twipsRect(kConnectingLeft, kConnectingTop, kConnectingWidth, kConnectingHeight));
    m_connecting->hide();

    // The design's tab order: OK and CANCEL come before the port box.
    QWidget *const order[]
        = { TxtServer, TxtDBName, TxtuserName, TxtPassword, CmdOK, CmdCancel, TxtPort };
    for (std::size_t i = 0; i + 1 < std::size(order); ++i)
        setTabOrder(order[i], order[i + 1]);
    TxtServer->setFocus();

    connect(CmdOK, &QPushButton::clicked, this, &FrmServer::CmdOK_Click);
    connect(CmdCancel, &QPushButton::clicked, this, &FrmServer::CmdCancel_Click);
}

FrmServer::~FrmServer() = default;

QLineEdit *FrmServer::addBox(const char16_t *name, int left, int top, int width, int height)
{
    auto *box = new QLineEdit(this);
    box->setObjectName(QString::fromUtf16(name));
    box->setGeometry(Look::twipsRect(left, top, width, height));
    box->installEventFilter(this);
    return box;
}

QPushButton *FrmServer::addButton(
    const char16_t *name, const char16_t *caption, int left, int top, int width, int height)
{
    QPushButton *button = Look::addButton(this, name, caption, left, top, width, height);
    button->installEventFilter(this); // key preview sees keys typed on a button too
    return button;
}

bool FrmServer::eventFilter(QObject *watched, QEvent *event)
{
    if (Form::eventFilter(watched, event))
        return true;
    if (event->type() == QEvent::KeyPress) {
        auto *key = static_cast<QKeyEvent *>(event);
        // Control keys and shortcuts (Ctrl+V pastes, Alt+O presses OK) go
        // through untouched, so pasted text keeps its case.
        const bool plain
            = !(key->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier));
        if (plain && key->text().size() == 1) {
            QString typed = key->text();
            Form_KeyPress(typed);
            if (typed != key->text()) {
                QKeyEvent upper(QEvent::KeyPress, key->key(), key->modifiers(),
                    key->nativeScanCode(), key->nativeVirtualKey(), key->nativeModifiers(), typed,
                    key->isAutoRepeat(), static_cast<quint16>(key->count()), key->device());
                QCoreApplication::sendEvent(watched, &upper);
                return true;
            }
        }
    }
    return false;
}

void FrmServer::Form_KeyPress(QString &typed)
{
    [[maybe_unused]] const Trap trap = handlerTrap(u"Form_KeyPress");

    // "ß" becomes "SS", which no longer fits one key: it goes through as typed.
    const QString upper = QLocale::system().toUpper(typed);
    if (upper.size() == 1)
        typed = upper;
}

void FrmServer::CmdOK_Click()
{
    [[maybe_unused]] const Trap trap = handlerTrap(u"CmdOK_Click");

    if (trimSpaces(TxtServer->text()).isEmpty()) {
        platform().showMessage(u"Please Enter Server Name"_qs);
        TxtServer->setFocus();
        return;
    }
    if (trimSpaces(TxtDBName->text()).isEmpty()) {
        platform().showMessage(u"Please enter DataBase Name"_qs);
        TxtDBName->setFocus();
        return;
    }
    ModPublic::ServerName = trimSpaces(TxtServer->text()).toString();
    ModPublic::DBName = trimSpaces(TxtDBName->text()).toString();
    ModPublic::Password = trimSpaces(TxtPassword->text()).toString();
    ModPublic::UserName = trimSpaces(TxtuserName->text()).toString();
    ModPublic::Port = trimSpaces(TxtPort->text()).toString();
    // Only an open connection hands over to the query window; otherwise
    // MakeConnection has told the user, and what they typed stays to correct.
    // A connect can take up to its time-out: the window waits, painted and
    // with the wait cursor, taking no input, and says where it connects to.
    m_connecting->setText(connectingText(ModPublic::ServerName, ModPublic::Port,
        m_connecting->fontMetrics(), m_connecting->width()));
    m_connecting->show();
    setBusy(true);
    const bool opened = ModPublic::MakeConnection([this] {
        m_connecting->hide();
        showReady();
    });
    setBusy(false);
    if (opened) {
        unloadWindow();
        platform().showWindow(Window::Query);
    }
}

void FrmServer::CmdCancel_Click()
{
    [[maybe_unused]] const Trap trap = handlerTrap(u"CmdCancel_Click");

    ModPublic::Cnn.reset();
    unloadWindow();
    platform().endProgram(EXIT_SUCCESS);
}

QString FrmServer::connectingText(
    const QString &server, const QString &port, const QFontMetrics &metrics, int width)
{
    const QString prefix = u"Connecting to "_qs;
    const QString ellipsis = QString(QChar(0x2026));
    // The connection takes the exact host "localhost" without a port to the
    // server's socket, not to a port.
    if (port.isEmpty() && server.compare(u"localhost", Qt::CaseInsensitive) == 0)
        return prefix + u"the local socket"_qs + ellipsis;
    const QString suffix = u":"_qs + (port.isEmpty() ? u"3306"_qs : port) + ellipsis;
    const bool bracket = server.contains(u':') && !server.startsWith(u'[');
    const QString open = bracket ? u"["_qs : QString();
    const QString close = bracket ? u"]"_qs : QString();
    const int room = width - metrics.horizontalAdvance(prefix + open + close + suffix);
    return prefix + open + metrics.elidedText(server, Qt::ElideMiddle, std::max(room, 0)) + close
        + suffix;
}

void FrmServer::paintEvent(QPaintEvent *event)
{
    QWidget::paintEvent(event);
    QPainter painter(this);
    painter.setPen(QPen(palette().color(QPalette::WindowText), 0));
    const int y = Look::twips(kLineY);
    painter.drawLine(0, y, Look::twips(kLineX2), y);
}
