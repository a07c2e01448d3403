#include "FakeListener.h"
#include "ServerProbe.h"
#include "TestApp.h"
#include "TestSupport.h"
#include "db/Connection.h"
#include "ui/FrmServer.h"

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

namespace {

// Counts the end checks, so a test can wait for one.
class CountingApp : public TestApp {
public:
    mutable int endChecks = 0;
    bool anyWindowLoaded() const override
    {
        ++endChecks;
        return TestApp::anyWindowLoaded();
    }
};

QString focusName()
{
    const QWidget *w = QApplication::focusWidget();
    return w ? w->objectName() : QString();
}

} // namespace

class TestFrmServer : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        resetSharedState(m_appDir);
        m_app = std::make_unique<CountingApp>();
        installPlatform(m_app.get());
        m_app->showWindow(Window::ServerDetails);
        QVERIFY(frm());
        QVERIFY(QTest::qWaitForWindowActive(frm()));
    }

    void cleanup()
    {
        installPlatform(nullptr);
        m_app.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        ModPublic::Cnn.reset();
    }

    void geometry_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QRect>("rect"); // pixels, at 15 twips to a pixel
        QTest::newRow("TxtServer") << "TxtServer" << QRect(91, 8, 241, 19);
        QTest::newRow("TxtDBName") << "TxtDBName" << QRect(91, 32, 145, 19);
        QTest::newRow("TxtuserName") << "TxtuserName" << QRect(91, 56, 241, 19);
        QTest::newRow("TxtPassword") << "TxtPassword" << QRect(91, 81, 241, 19);
        QTest::newRow("CmdOK") << "CmdOK" << QRect(223, 111, 52, 21);
        QTest::newRow("CmdCancel") << "CmdCancel" << QRect(279, 111, 52, 21);
        QTest::newRow("TxtPort") << "TxtPort" << QRect(282, 32, 49, 19);
        // Labels fit their caption, so they may be larger than designed.
        QTest::newRow("Lbl1") << "Lbl1" << QRect(9, 10, 70, 14);
        QTest::newRow("Label1") << "Label1" << QRect(9, 34, 50, 14);
        QTest::newRow("Label2") << "Label2" << QRect(9, 58, 59, 14);
        QTest::newRow("Label3") << "Label3" << QRect(9, 83, 51, 14);
        QTest::newRow("Label4") << "Label4" << QRect(248, 34, 23, 14);
    }

    void geometry()
    {
        QFETCH(QString, name);
        QFETCH(QRect, rect);
        const QWidget *control = frm()->findChild<QWidget *>(name);
        QVERIFY(control);
        if (const auto *label = qobject_cast<const QLabel *>(control)) {
            QCOMPARE(label->pos(), rect.topLeft());
            QVERIFY(label->width() >= std::max(rect.width(), label->sizeHint().width()));
            QVERIFY(label->height() >= std::max(rect.height(), label->sizeHint().height()));
            QCOMPARE(label->focusPolicy(), Qt::NoFocus);
        } else {
            QCOMPARE(control->geometry(), rect);
        }
    }

    void look()
    {
        const Qt::WindowFlags flags = frm()->windowFlags();
        QVERIFY(!(flags & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
        QCOMPARE(frm()->size(), QSize(340, 137)); // 5100 x 2055 twips
        QCOMPARE(frm()->minimumSize(), frm()->maximumSize());
        QCOMPARE(frm()->windowTitle(), u"Server Details"_qs);
        QVERIFY(!frm()->windowIcon().isNull());
        QCOMPARE(box("TxtPassword")->echoMode(), QLineEdit::Password);
        if (QFile::exists(u"/usr/share/wine/fonts/tahoma.ttf"_qs)) {
            QCOMPARE(QFontInfo(box("TxtServer")->font()).family(), u"Tahoma"_qs);
            QCOMPARE(QFontInfo(frm()->findChild<QLabel *>("Lbl1")->font()).family(), u"Tahoma"_qs);
        }
        QCOMPARE(box("TxtServer")->font().pointSizeF(), 8.25);
        QCOMPARE(frm()->findChild<QLabel *>("Lbl1")->font().pointSizeF(), 9.0);

        const QImage shot = frm()->grab().toImage();
        const QColor base = frm()->palette().color(QPalette::Base);
        const QColor text = frm()->palette().color(QPalette::WindowText);
        QCOMPARE(shot.pixelColor(5, 130), base);
        QCOMPARE(shot.pixelColor(5, 105), text); // the rule, across the whole width
        QCOMPARE(shot.pixelColor(339, 105), text);
        QCOMPARE(shot.pixelColor(5, 104), base);
        const QPushButton *ok = frm()->findChild<QPushButton *>("CmdOK");
        QCOMPARE(shot.pixelColor(ok->geometry().topLeft() + QPoint(6, 10)), QColor(200, 213, 232));
    }

    // The desktop's own message box, in the windows' look: their font and
    // background, the information icon, one OK button in the buttons' face.
    void messageBoxLook()
    {
        QStringList seen;
        QTimer::singleShot(0, [&] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            QAbstractButton *ok = box ? box->button(QMessageBox::Ok) : nullptr;
            if (!ok)
                return;
            const QImage shot = box->grab().toImage();
            seen << QFontInfo(box->font()).family() << QString::number(box->font().pointSizeF())
                 << QString::number(box->icon()) << QString::number(box->buttons().size())
                 << QString::number(ok->icon().isNull()) << shot.pixelColor(2, 2).name()
                 << shot.pixelColor(ok->mapTo(box, QPoint(6, 4))).name();
            box->done(QMessageBox::Ok);
        });
        m_app->App::showMessage(u"Please Enter Server Name"_qs);
        QCOMPARE(seen,
            QStringList({ QFontInfo(box("TxtServer")->font()).family(), "8.25",
                QString::number(QMessageBox::Information), "1", "1",
                frm()->palette().color(QPalette::Base).name(), "#c8d5e8" }));
    }

    void accessibleNames_data()
    {
        QTest::addColumn<QString>("control");
        QTest::addColumn<int>("role");
        QTest::addColumn<QString>("name"); // a box's label, a button's caption without "&"
        const int box = QAccessible::EditableText;
        const int button = QAccessible::Button;
        QTest::newRow("TxtServer") << "TxtServer" << box << "Server Name";
        QTest::newRow("TxtDBName") << "TxtDBName" << box << "Database";
        QTest::newRow("TxtuserName") << "TxtuserName" << box << "User Name";
        QTest::newRow("TxtPassword") << "TxtPassword" << box << "Password";
        QTest::newRow("TxtPort") << "TxtPort" << box << "Port";
        QTest::newRow("CmdOK") << "CmdOK" << button << "OK";
        QTest::newRow("CmdCancel") << "CmdCancel" << button << "CANCEL";
    }

    void accessibleNames()
    {
        QFETCH(QString, control);
        QFETCH(int, role);
        QFETCH(QString, name);
        QAccessibleInterface *const a
            = QAccessible::queryAccessibleInterface(frm()->findChild<QWidget *>(control));
        QVERIFY(a);
        QCOMPARE(int(a->role()), role);
        QCOMPARE(a->text(QAccessible::Name), name);
    }

    void tabOrder()
    {
        QCOMPARE(focusName(), u"TxtServer"_qs);
        QStringList visited;
        for (int i = 0; i < 7; ++i) {
            press(Qt::Key_Tab);
            visited << focusName();
        }
        QCOMPARE(visited,
            QStringList({ "TxtDBName", "TxtuserName", "TxtPassword", "CmdOK", "CmdCancel",
                "TxtPort", "TxtServer" }));
    }

    void typedTextIsUpperCased_data()
    {
        QTest::addColumn<int>("tabs"); // from the server box to the box typed into
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("shown");
        QTest::newRow("server") << 0 << "localhost"
                                << "LOCALHOST";
        QTest::newRow("database, accented") << 1 << "café_db"
                                            << "CAFÉ_DB";
        QTest::newRow("user, digits and punctuation") << 2 << "me.1-x"
                                                      << "ME.1-X";
        QTest::newRow("password, sharp s has no one-letter capital") << 3 << "straße"
                                                                     << "STRAßE";
        QTest::newRow("port, whose 3306 Tab selects") << 6 << "x"
                                                      << "X";
    }

    void typedTextIsUpperCased()
    {
        QFETCH(int, tabs);
        QFETCH(QString, typed);
        QFETCH(QString, shown);
        for (int i = 0; i < tabs; ++i)
            press(Qt::Key_Tab);
        auto *focused = qobject_cast<QLineEdit *>(QApplication::focusWidget());
        QVERIFY(focused);
        typeText(typed);
        QCOMPARE(focused->text(), shown);
    }

    void controlKeysAndPasteKeepTheirMeaning()
    {
        typeText(u"abc"_qs);
        press(Qt::Key_Backspace);
        QGuiApplication::clipboard()->setText(u"MixedCase db"_qs);
        press(Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(box("TxtServer")->text(), u"ABMixedCase db"_qs);
    }

    void checks_data()
    {
        QTest::addColumn<QString>("server");
        QTest::addColumn<QString>("database");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("focus");
        QTest::addColumn<bool>("pasted"); // the server name, since Tab cannot be typed into a box
        QTest::newRow("nothing entered") << ""
                                         << ""
                                         << "Please Enter Server Name"
                                         << "TxtServer" << false;
        QTest::newRow("server only spaces, database given") << "   "
                                                            << "shop"
                                                            << "Please Enter Server Name"
                                                            << "TxtServer" << false;
        QTest::newRow("database three spaces") << "db1"
                                               << "   "
                                               << "Please enter DataBase Name"
                                               << "TxtDBName" << false;
        QTest::newRow("a tab is a server name") << "\t"
                                                << ""
                                                << "Please enter DataBase Name"
                                                << "TxtDBName" << true;
    }

    void checks()
    {
        QFETCH(QString, server);
        QFETCH(QString, database);
        QFETCH(QString, message);
        QFETCH(QString, focus);
        QFETCH(bool, pasted);
        ModPublic::ServerName = u"unchanged"_qs;
        if (pasted) {
            QGuiApplication::clipboard()->setText(server);
            press(Qt::Key_V, Qt::ControlModifier);
            QCOMPARE(box("TxtServer")->text(), server);
            server.clear();
        }
        fill(server, database, u"me"_qs, QString(), u"3306"_qs);

        press(Qt::Key_O, Qt::AltModifier);
        QTRY_COMPARE(m_app->messages, QStringList { message });
        QTRY_COMPARE(focusName(), focus);
        QCOMPARE(ModPublic::ServerName, u"unchanged"_qs);
        QVERIFY(!ModPublic::Cnn);
        QVERIFY(frm() && frm()->isVisible());
    }

    void enterAndEscPressNothing_data()
    {
        QTest::addColumn<int>("tabs");
        QTest::addColumn<int>("key");
        QTest::newRow("Enter in the server box") << 0 << int(Qt::Key_Return);
        QTest::newRow("keypad Enter in the password box") << 3 << int(Qt::Key_Enter);
        QTest::newRow("Esc in the server box") << 0 << int(Qt::Key_Escape);
        QTest::newRow("Enter on OK") << 4 << int(Qt::Key_Return);
        QTest::newRow("Esc on CANCEL") << 5 << int(Qt::Key_Escape);
        QTest::newRow("Enter on CANCEL") << 5 << int(Qt::Key_Return);
    }

    void enterAndEscPressNothing()
    {
        QFETCH(int, tabs);
        QFETCH(int, key);
        for (int i = 0; i < tabs; ++i)
            press(Qt::Key_Tab);
        press(Qt::Key(key));
        // The access keys do press: Alt+O runs the checks, Alt+C ends. When the
        // second has happened, anything the first key had pressed would show.
        press(Qt::Key_O, Qt::AltModifier);
        QTRY_COMPARE(m_app->messages.size(), 1);
        press(Qt::Key_C, Qt::AltModifier);
        QTRY_COMPARE(m_app->endRequests, 1);
        QCOMPARE(m_app->messages, QStringList { u"Please Enter Server Name"_qs });
        QVERIFY(!m_app->queryWindow());
    }

    void okStoresAndConnects_data()
    {
        QTest::addColumn<bool>("answers");
        QTest::addColumn<QString>("reason"); // how the failure's message gives it
        QTest::newRow("server answers") << true << QString();
        QTest::newRow("closed port")
            << false << u"MySQL 2002 (HY000): Can't connect to server on '127.0.0.1' ("_qs;
    }

    void okStoresAndConnects()
    {
        QFETCH(bool, answers);
        QFETCH(QString, reason);
        const TestServer server;
        REQUIRE_SERVER(server);
        const QString port = answers ? server.port : u"1"_qs;
        fill(u" 127.0.0.1 "_qs, u" tesmor_test "_qs, u" me "_qs, u" secret "_qs, u" "_qs + port);
        const QPointer<FrmServer> window = frm();

        press(Qt::Key_O, Qt::AltModifier);
        QTRY_VERIFY(ModPublic::Cnn);

        QCOMPARE(ModPublic::ServerName, u"127.0.0.1"_qs);
        QCOMPARE(ModPublic::DBName, u"TESMOR_TEST"_qs);
        QCOMPARE(ModPublic::Port, port);
        QCOMPARE(ModPublic::UserName, u"olun"_qs);
        QCOMPARE(ModPublic::Password, QString());
        if (answers) {
            QVERIFY2(m_app->messages.isEmpty(), qPrintable(m_app->messages.join(u'|')));
            QCOMPARE(ModPublic::Cnn->State(), 1);
            QVERIFY(m_app->queryWindow());
            QVERIFY(!frm());
            QTRY_VERIFY(window.isNull());
            QTRY_VERIFY(m_app->endChecks > 0);
            QCOMPARE(m_app->quits, 0);
        } else {
            QCOMPARE(m_app->messages.size(), 1);
            const std::optional<QString> shown
                = connectFailureReason(m_app->messages[0], logPath());
            QVERIFY2(shown && shown->startsWith(reason), qPrintable(m_app->messages[0]));
            QVERIFY(!m_app->queryWindow());
            QCOMPARE(frm(), window.data());
            QVERIFY(window->isVisible());
            QCOMPARE(box("TxtServer")->text(), u" 127.0.0.1 "_qs);
            QCOMPARE(box("TxtDBName")->text(), u" TESMOR_TEST "_qs);
            QCOMPARE(box("TxtuserName")->text(), u" ME "_qs);
            QCOMPARE(box("TxtPassword")->text(), u" SECRET "_qs);
            QCOMPARE(box("TxtPort")->text(), u" 1"_qs);
        }
    }

    void failedConnectKeepsWindow_data()
    {
        QTest::addColumn<QString>("pasted");
        QTest::addColumn<bool>("mysqlPort"); // else a port that answers, but not as MySQL
        QTest::addColumn<QString>("logged");
        const QString injection
            = u"host=127.0.0.1;local_infile=1;plugin-dir=%1;default-auth=tesmor_marker"_qs.arg(
                QStringLiteral(MARKER_PLUGIN_DIR));
        QTest::newRow("pasted name that sets options and loads a library")
            << injection << true << u"Invalid server name \"%1\": "_qs.arg(injection);
        QTest::newRow("handshake fails")
            << "127.0.0.1" << false << "Lost connection to server at 'handshake";
    }

    void failedConnectKeepsWindow()
    {
        QFETCH(QString, pasted);
        QFETCH(bool, mysqlPort);
        QFETCH(QString, logged);
        const QString marker = m_appDir.filePath(u"library-loaded"_qs);
        qputenv("TESMOR_MARKER_FILE", QFile::encodeName(marker));
        {
            // The marker does show a load by the client library.
            MYSQL *m = mysql_init(nullptr);
            mysql_optionsv(m, MYSQL_PLUGIN_DIR, MARKER_PLUGIN_DIR);
            mysql_load_plugin(m, "tesmor_marker", -1, 0);
            mysql_close(m);
            QVERIFY(QFile::remove(marker));
        }
        QFile::remove(logPath());
        const FakeListener notMysql(FakeListener::Manner::Closes);
        const QString port = mysqlPort ? TestServer().port : QString::number(notMysql.port());

        QGuiApplication::clipboard()->setText(pasted);
        press(Qt::Key_V, Qt::ControlModifier);
        fill(
            QString(), u"tesmor_test"_qs, QString(), QString(), port.isEmpty() ? u"3306"_qs : port);
        Qt::CursorShape windowAtMessage = Qt::ArrowCursor;
        Qt::CursorShape boxAtMessage = Qt::ArrowCursor;
        m_app->onMessage = [&] {
            windowAtMessage = frm()->cursor().shape();
            boxAtMessage = box("TxtServer")->cursor().shape();
        };
        press(Qt::Key_O, Qt::AltModifier);
        QTRY_VERIFY(ModPublic::Cnn);
        // Taken as options, the pasted name loads the library and opens a
        // session in which a script can read local files.
        QVERIFY(!QFile::exists(marker));
        QCOMPARE(ModPublic::Cnn->State(), 0);
        QCOMPARE(m_app->messages.size(), 1);
        const std::optional<QString> reason = connectFailureReason(m_app->messages[0], logPath());
        QVERIFY2(reason && reason->contains(logged), qPrintable(m_app->messages[0]));

        QCOMPARE(windowAtMessage, Qt::WaitCursor);
        QCOMPARE(boxAtMessage, Qt::WaitCursor);
        QCOMPARE(frm()->cursor().shape(), Qt::ArrowCursor);
        QCOMPARE(box("TxtServer")->cursor().shape(), Qt::IBeamCursor);
        QVERIFY(frm()->isVisible());
        QCOMPARE(box("TxtServer")->text(), pasted);
        QCOMPARE(m_app->endRequests, 0);
        const QStringList lines = readLogLines(logPath());
        QCOMPARE(lines.size(), 1);
        QVERIFY2(lines[0].contains(logged), qPrintable(lines[0]));
    }

    // A connect that takes its time: the window keeps painting and its
    // timers running, says where it connects to, shows its buttons disabled,
    // and swallows a second OK, CANCEL and a close. Once the attempt is over
    // the window is ready again behind the message, the focus on OK.
    void aliveAndDeafWhileConnecting()
    {
        QFile::remove(logPath());
        auto silent = std::make_unique<FakeListener>(FakeListener::Manner::Silent);
        const QString port = QString::number(silent->port());
        fill(u"127.0.0.1"_qs, u"shop"_qs, QString(), QString(), port);
        const QLabel *connecting = frm()->findChild<QLabel *>(u"Connecting"_qs);
        QVERIFY(connecting && !connecting->isVisible());
        int ticks = 0;
        int paints = 0;
        QString shownWhileBusy;
        bool enabledWhileBusy = true;
        QTimer sampler;
        sampler.setInterval(20);
        QObject::connect(&sampler, &QTimer::timeout, [&] {
            if (!frm()->isBusy())
                return;
            if (++ticks == 1) {
                shownWhileBusy = connecting->isVisible() ? connecting->text() : QString();
                enabledWhileBusy = button("CmdOK")->isEnabled() || button("CmdCancel")->isEnabled();
                QTest::keyClick(frm(), Qt::Key_O, Qt::AltModifier);
                QTest::keyClick(frm(), Qt::Key_C, Qt::AltModifier);
                frm()->close();
            }
            frm()->update();
            if (ticks == 50)
                silent.reset(); // the pending connection is reset: the connect fails
        });
        struct PaintCounter : QObject {
            int *paints;
            explicit PaintCounter(int *p)
                : paints(p)
            {
            }
            bool eventFilter(QObject *, QEvent *e) override
            {
                *paints += e->type() == QEvent::Paint;
                return false;
            }
        } counter(&paints);
        frm()->installEventFilter(&counter);
        bool readyAtMessage = false;
        m_app->onMessage = [&] {
            readyAtMessage = !connecting->isVisible() && button("CmdOK")->isEnabled()
                && button("CmdCancel")->isEnabled()
                && QApplication::focusWidget() == button("CmdOK");
        };
        sampler.start();
        // Space on OK, whose focus a disabled button would give away.
        press(Qt::Key_Backtab);
        press(Qt::Key_Backtab);
        QCOMPARE(focusName(), u"CmdOK"_qs);
        press(Qt::Key_Space);
        QTRY_VERIFY_WITH_TIMEOUT(!m_app->messages.isEmpty(), 10000);
        sampler.stop();

        QVERIFY2(ticks >= 50 && paints > 20,
            qPrintable(u"%1 ticks, %2 paints"_qs.arg(ticks).arg(paints)));
        QCOMPARE(shownWhileBusy, u"Connecting to 127.0.0.1:%1\u2026"_qs.arg(port));
        QVERIFY(!enabledWhileBusy);
        QVERIFY(readyAtMessage);
        QCOMPARE(m_app->messages.size(), 1);
        QVERIFY2(
            connectFailureReason(m_app->messages[0], logPath()), qPrintable(m_app->messages[0]));
        QCOMPARE(m_app->endRequests, 0);
        QVERIFY(frm() && frm()->isVisible() && !frm()->isBusy());
        QCOMPARE(focusName(), u"CmdOK"_qs);
        QCOMPARE(readLogLines(logPath()).size(), 1);
    }

    void connectingText()
    {
        const QLabel *label = frm()->findChild<QLabel *>(u"Connecting"_qs);
        const QFontMetrics fm = label->fontMetrics();
        const auto shown = [&](const QString &server, const QString &port) {
            return FrmServer::connectingText(server, port, fm, label->width());
        };
        QCOMPARE(shown(u"::1"_qs, u"3307"_qs), u"Connecting to [::1]:3307\u2026"_qs);
        QCOMPARE(shown(u"[FE80::1]"_qs, u"1"_qs), u"Connecting to [FE80::1]:1\u2026"_qs);
        QCOMPARE(shown(u"LOCALHOST"_qs, QString()), u"Connecting to the local socket\u2026"_qs);
        QCOMPARE(shown(u"DB1"_qs, QString()), u"Connecting to DB1:3306\u2026"_qs);
        // A name too long for the strip left of OK keeps both ends and the port.
        const QString elided = shown(u"REPLICA."_qs + QString(60, u'X') + u".COM"_qs, u"1"_qs);
        QVERIFY2(label->geometry().right() < button("CmdOK")->x()
                && fm.horizontalAdvance(elided) <= label->width()
                && elided.startsWith(u"Connecting to REP"_qs) && elided.endsWith(u"COM:1\u2026"_qs),
            qPrintable(elided));
    }

    void cancelReleasesConnectionAndEnds()
    {
        // A failed attempt leaves a closed connection behind.
        fill(u"127.0.0.1"_qs, u"shop"_qs, QString(), QString(), u"1"_qs);
        press(Qt::Key_O, Qt::AltModifier);
        QTRY_VERIFY(ModPublic::Cnn);
        const std::weak_ptr<Connection> attempt = ModPublic::Cnn;

        press(Qt::Key_C, Qt::AltModifier);
        QTRY_COMPARE(m_app->endRequests, 1);
        QVERIFY(attempt.expired());
        QVERIFY(!m_app->anyWindowLoaded());
    }

    void closingOnlyWindowEndsProgram()
    {
        const QPointer<FrmServer> first = frm();
        typeText(u"db1"_qs);
        first->close();
        QVERIFY(!frm());
        QTRY_COMPARE(m_app->quits, 1);
        QCOMPARE(m_app->endRequests, 0);

        // Showing it again gives a fresh window as designed.
        QTRY_VERIFY(first.isNull());
        m_app->showWindow(Window::ServerDetails);
        QVERIFY(QTest::qWaitForWindowActive(frm()));
        QCOMPARE(box("TxtServer")->text(), QString());
        QCOMPARE(box("TxtPort")->text(), u"3306"_qs);
        QCOMPARE(focusName(), u"TxtServer"_qs);
    }

private:
    FrmServer *frm() const { return m_app->serverDetails(); }
    QLineEdit *box(const char *name) const { return frm()->findChild<QLineEdit *>(name); }
    QPushButton *button(const char *name) const { return frm()->findChild<QPushButton *>(name); }
    QString logPath() const { return m_appDir.filePath(u"GenLogger.log"_qs); }
    // Types the five entries through the keyboard, in tab order.
    void fill(const QString &server, const QString &database, const QString &user,
        const QString &password, const QString &port)
    {
        for (const QString &text : { server, database, user, password }) {
            typeText(text);
            press(Qt::Key_Tab);
        }
        press(Qt::Key_Tab);
        press(Qt::Key_Tab);
        press(Qt::Key_A, Qt::ControlModifier);
        typeText(port);
    }

    QTemporaryDir m_appDir;
    std::unique_ptr<CountingApp> m_app;
};

QTEST_MAIN(TestFrmServer)
#include "tst_frmserver.moc"
