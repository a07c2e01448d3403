#include "ServerProbe.h"
#include "TestApp.h"
#include "TestSupport.h"
#include "db/Connection.h"
#include "db/FileScript.h"
#include "ui/FrmQuery.h"
#include "ui/FrmServer.h"
#include "ui/ScriptBox.h"

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QStringEncoder>
#include <QTextDocument>
#include <QTimer>
#include <QToolTip>

namespace {

// How heavy a label's strokes are: the median width in pixels of the runs of
// ink across its rows, each pixel counted by its coverage, so that a stem one
// pixel wide counts 1 wherever it falls between pixels.
double strokeWidth(const QImage &image)
{
    const QImage gray = image.convertToFormat(QImage::Format_Grayscale8);
    int paper = 0;
    int ink = 255;
    for (int y = 0; y < gray.height(); ++y) {
        for (int x = 0; x < gray.width(); ++x) {
            paper = std::max(paper, qGray(gray.pixel(x, y)));
            ink = std::min(ink, qGray(gray.pixel(x, y)));
        }
    }
    QList<double> runs;
    for (int y = 0; y < gray.height(); ++y) {
        double run = 0;
        for (int x = 0; x <= gray.width(); ++x) {
            const double cover = x < gray.width() && paper > ink
                ? double(paper - qGray(gray.pixel(x, y))) / (paper - ink)
                : 0;
            if (cover > 0.05) {
                run += cover;
            } else if (run > 0) {
                runs << run;
                run = 0;
            }
        }
    }
    if (runs.isEmpty())
        return 0;
    std::sort(runs.begin(), runs.end());
    return runs[runs.size() / 2];
}

} // namespace

class TestFrmQuery : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void geometryAndTabOrder();
    void accessibleNames();
    void headingIsBold();
    void blankScriptIsRefused_data();
    void blankScriptIsRefused();
    void enterAddsALineAndEscPressesNothing();
    void pastedScriptKeepsItsLineEnds();
    void busyWhileRunning();
    void aliveDuringALongStatement();
    void endToEnd();
    void cursorGoesToFirstFailure();
    void pastedTextReachesTheServerExactly();
    void storedProgramsFromOnePastedScript();
    void droppedFileInsertsItsText_data();
    void droppedFileInsertsItsText();
    void marksGoOnEdit();
    void bigDroppedFilesRunFromDisk();
    void boxShowsHowTheScriptRuns();
    void bigScriptGoesWithoutColours();

private:
    FrmQuery *query() const { return m_app->queryWindow(); }
    ScriptBox *box() const { return query()->findChild<ScriptBox *>(u"TxtQuery"_qs); }
    qsizetype caret() const { return box()->SendScintilla(QsciScintillaBase::SCI_GETCURRENTPOS); }
    void connectThroughServerDetails();
    void runScript(const QString &typed);
    void pasteAndRun(const QString &text);

    TestServer m_server;
    QTemporaryDir m_appDir;
    std::unique_ptr<TestApp> m_app;
    std::unique_ptr<ServerProbe> m_probe;
    QString logPath() const { return m_appDir.filePath(u"GenLogger.log"_qs); }
};

void TestFrmQuery::initTestCase()
{
    REQUIRE_SERVER(m_server);
    m_probe = std::make_unique<ServerProbe>(m_server, m_server.database);
    QVERIFY2(m_probe->ok(), qPrintable(m_probe->error()));
}

void TestFrmQuery::init()
{
    QFile::remove(logPath());
    resetSharedState(m_appDir);
    QVERIFY2(m_probe->exec(u"DROP TABLE IF EXISTS window_rows"_qs)
            && m_probe->exec(u"CREATE TABLE window_rows (id INT AUTO_INCREMENT PRIMARY KEY, v "
                             "VARCHAR(100))"_qs),
        qPrintable(m_probe->error()));
    m_app = std::make_unique<TestApp>();
    installPlatform(m_app.get());
    m_app->showWindow(Window::ServerDetails);
    connectThroughServerDetails();
}

void TestFrmQuery::cleanup()
{
    installPlatform(nullptr);
    m_app.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    ModPublic::Cnn.reset();
}

void TestFrmQuery::connectThroughServerDetails()
{
    FrmServer *details = m_app->serverDetails();
    QVERIFY(details);
    QVERIFY(QTest::qWaitForWindowActive(details));
    typeText(m_server.host);
    press(Qt::Key_Tab);
    typeText(m_server.database);
    for (int i = 0; i < 5; ++i)
        press(Qt::Key_Tab);
    press(Qt::Key_A, Qt::ControlModifier);
    typeText(m_server.port);
    press(Qt::Key_O, Qt::AltModifier);
    QTRY_VERIFY2(query(), qPrintable(m_app->messages.join(u'\n')));
    QVERIFY(!m_app->serverDetails());
    QVERIFY(QTest::qWaitForWindowActive(query()));
    QCOMPARE(QApplication::focusWidget(), box());
}

void TestFrmQuery::runScript(const QString &typed)
{
    box()->setFocus();
    const QStringList lines = typed.split(u'\n');
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (i > 0)
            press(Qt::Key_Return);
        typeText(lines[i]);
    }
    QTest::mouseClick(query()->findChild<QPushButton *>(u"CmdOK"_qs), Qt::LeftButton);
}

void TestFrmQuery::pasteAndRun(const QString &text)
{
    QApplication::clipboard()->setText(text);
    box()->setFocus();
    press(Qt::Key_V, Qt::ControlModifier);
    press(Qt::Key_O, Qt::AltModifier);
}

void TestFrmQuery::geometryAndTabOrder()
{
    QCOMPARE(query()->windowTitle(), u"Tesmor"_qs);
    QCOMPARE(query()->size(), QSize(518, 246));
    const struct {
        const char *name;
        QRect rect;
    } controls[] = { { "TxtQuery", { 14, 48, 482, 155 } }, { "CmdOK", { 330, 212, 52, 23 } },
        { "CmdCancel", { 386, 212, 52, 23 } }, { "CmdExit", { 442, 212, 52, 23 } } };
    for (const auto &c : controls) {
        const QWidget *w = query()->findChild<QWidget *>(QString::fromLatin1(c.name));
        QVERIFY2(w, c.name);
        QCOMPARE(w->geometry(), c.rect);
    }
    QCOMPARE(query()->findChild<QLabel *>(u"lll"_qs)->text(), u"Please Enter You Query Here"_qs);
    QVERIFY(query()->findChild<QLabel *>(u"lll"_qs)->font().bold());
    QCOMPARE(query()->findChild<QLabel *>(u"Label1"_qs)->text(),
        u"For Multiple Query Saperate by ; and Vbcrlf"_qs);

    QStringList order;
    for (int i = 0; i < 4; ++i) {
        order << QApplication::focusWidget()->objectName();
        press(Qt::Key_Tab);
    }
    QCOMPARE(order, (QStringList { u"TxtQuery"_qs, u"CmdOK"_qs, u"CmdCancel"_qs, u"CmdExit"_qs }));
    QCOMPARE(QApplication::focusWidget()->objectName(), u"TxtQuery"_qs);
}

void TestFrmQuery::accessibleNames()
{
    const struct {
        const char *name;
        QAccessible::Role role;
        QString accessibleName; // a box's label, a button's caption without "&"
    } controls[] = { { "TxtQuery", QAccessible::EditableText, u"Please Enter You Query Here"_qs },
        { "CmdOK", QAccessible::Button, u"OK"_qs },
        { "CmdCancel", QAccessible::Button, u"CANCEL"_qs },
        { "CmdExit", QAccessible::Button, u"EXit"_qs } };
    for (const auto &c : controls) {
        QAccessibleInterface *const a = QAccessible::queryAccessibleInterface(
            query()->findChild<QWidget *>(QString::fromLatin1(c.name)));
        QVERIFY2(a, c.name);
        QCOMPARE(a->role(), c.role);
        QCOMPARE(a->text(QAccessible::Name), c.accessibleName);
    }
}

void TestFrmQuery::headingIsBold()
{
    // Tahoma 9 pt bold beside Tahoma 9 pt regular; fonts-wine's bold face
    // alone draws them equally heavy.
    const double heading = strokeWidth(query()->findChild<QLabel *>(u"lll"_qs)->grab().toImage());
    const double hint = strokeWidth(query()->findChild<QLabel *>(u"Label1"_qs)->grab().toImage());
    QVERIFY2(heading >= 1.2 * hint,
        qPrintable(u"heading strokes %1 px, hint strokes %2 px"_qs.arg(heading).arg(hint)));
}

void TestFrmQuery::blankScriptIsRefused_data()
{
    QTest::addColumn<QString>("typed");
    QTest::newRow("empty") << "";
    QTest::newRow("spaces only") << "    ";
}

void TestFrmQuery::blankScriptIsRefused()
{
    QFETCH(QString, typed);
    runScript(typed);
    QCOMPARE(m_app->messages, QStringList { u"Please enter valid query"_qs });
    QCOMPARE(QApplication::focusWidget(), box());
    QCOMPARE(query()->cursor().shape(), Qt::ArrowCursor);
    QVERIFY(readLogLines(logPath()).isEmpty());
}

void TestFrmQuery::enterAddsALineAndEscPressesNothing()
{
    box()->setFocus();
    typeText(u"SELECT 1;"_qs);
    press(Qt::Key_Return);
    press(Qt::Key_Enter);
    typeText(u"SELECT 2"_qs);
    press(Qt::Key_Escape);
    QCOMPARE(box()->scriptBytes(), "SELECT 1;\r\n\r\nSELECT 2");
    QVERIFY(m_app->messages.isEmpty());
    QVERIFY(query()->isVisible());
}

// Pasted as another program offers it, UTF-8 bytes: statements ended by ";"
// CR LF, and inside them LF, a lone CR, separators, a no-break space and a
// NUL, and a procedure written with LF line ends.
void TestFrmQuery::pastedScriptKeepsItsLineEnds()
{
    QVERIFY2(m_probe->exec(u"DROP TABLE IF EXISTS exact_rows"_qs)
            && m_probe->exec(u"DROP PROCEDURE IF EXISTS box_proc"_qs)
            && m_probe->exec(u"CREATE TABLE exact_rows (id INT AUTO_INCREMENT PRIMARY KEY, v "
                             "VARCHAR(100) CHARACTER SET utf8mb4 COLLATE utf8mb4_bin)"_qs),
        qPrintable(m_probe->error()));
    const QString value = u"one\ntwo\rthree\u2028four\u2029five\u00A0six"_qs + QChar(0) + u"."_qs;
    const QString body = u"BEGIN\n  INSERT INTO exact_rows (v) VALUES ('from proc');\nEND"_qs;
    const QByteArray script = (u"INSERT INTO exact_rows (v) VALUES ('%1');\r\n"
                               "DELIMITER $$\r\n"
                               "CREATE PROCEDURE box_proc()\n%2$$\r\n"
                               "DELIMITER ;\r\n"
                               "CALL box_proc()"_qs.arg(value, body))
                                  .toUtf8();
    auto *mime = new QMimeData;
    mime->setData(u"text/plain;charset=utf-8"_qs, script);
    QApplication::clipboard()->setMimeData(mime);
    box()->setFocus();
    press(Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(box()->scriptBytes(), script);

    press(Qt::Key_O, Qt::AltModifier);
    QTRY_COMPARE(m_app->messages, QStringList { u"Query Executed Successfully"_qs });
    QCOMPARE(m_probe->column(u"SELECT HEX(v) FROM exact_rows ORDER BY id"_qs),
        (QStringList { QString::fromLatin1(value.toUtf8().toHex().toUpper()),
            QString::fromLatin1(QByteArray("from proc").toHex().toUpper()) }));
    const QString created = m_probe->column(u"SHOW CREATE PROCEDURE box_proc"_qs, 2).value(0);
    QVERIFY2(created.endsWith(u"PROCEDURE `box_proc`()\n"_qs + body), qPrintable(created));
    QVERIFY(
        m_probe->exec(u"DROP PROCEDURE box_proc"_qs) && m_probe->exec(u"DROP TABLE exact_rows"_qs));

    // Bytes that are not UTF-8 are refused as a dropped file's are, not
    // stored as U+FFFD.
    auto *bad = new QMimeData;
    bad->setData(u"text/plain;charset=utf-8"_qs, "SELECT '\xC3('");
    QApplication::clipboard()->setMimeData(bad);
    press(Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(box()->scriptBytes(), script);
    QCOMPARE(m_app->messages.last(), u"The text is not valid UTF-8: nothing was inserted."_qs);
}

// While a run goes on the buttons are shown disabled; the closing message
// finds them enabled and the focus back on OK, which Space pressed.
void TestFrmQuery::busyWhileRunning()
{
    const auto buttonsEnabled = [this] {
        QString flags; // OK, CANCEL, Exit
        for (const char *name : { "CmdOK", "CmdCancel", "CmdExit" })
            flags += query()->findChild<QPushButton *>(QString::fromLatin1(name))->isEnabled()
                ? u'1'
                : u'0';
        return flags;
    };
    Qt::CursorShape atMessage = Qt::ArrowCursor;
    QString enabledAtMessage;
    QString enabledWhileRunning;
    QWidget *focusAtMessage = nullptr;
    m_app->onMessage = [&] {
        atMessage = query()->cursor().shape();
        enabledAtMessage = buttonsEnabled();
        focusAtMessage = query()->focusWidget();
    };
    QTimer sampler;
    sampler.setInterval(20);
    QObject::connect(&sampler, &QTimer::timeout, [&] {
        if (query()->isRunning() && m_app->messages.isEmpty())
            enabledWhileRunning += buttonsEnabled();
    });
    sampler.start();
    box()->setFocus();
    typeText(u"SELECT SLEEP(0.3)"_qs);
    press(Qt::Key_Tab);
    press(Qt::Key_Space);
    sampler.stop();

    QCOMPARE(m_app->messages, QStringList { u"Query Executed Successfully"_qs });
    QCOMPARE(atMessage, Qt::WaitCursor);
    QVERIFY2(!enabledWhileRunning.isEmpty() && !enabledWhileRunning.contains(u'1'),
        qPrintable(enabledWhileRunning));
    QCOMPARE(enabledAtMessage, u"111"_qs);
    QCOMPARE(focusAtMessage, query()->findChild<QPushButton *>(u"CmdOK"_qs));
    QCOMPARE(QApplication::focusWidget(), focusAtMessage);
    QCOMPARE(query()->cursor().shape(), Qt::ArrowCursor);
    QCOMPARE(box()->scriptBytes(), "SELECT SLEEP(0.3)");
    QCOMPARE(caret(), 17); // no failure: the cursor stays
}

// The window's thread stays in its event loop while the worker waits on
// the server: timers fire, the window repaints, the progress shows the
// running time, and input to the window is swallowed, not queued.
void TestFrmQuery::aliveDuringALongStatement()
{
    const auto *bar = query()->findChild<QProgressBar *>(u"Progress"_qs);
    const auto *text = query()->findChild<QLabel *>(u"ProgressText"_qs);
    QVERIFY(bar && text);

    QStringList seen;
    int ticks = 0;
    bool typedDuringRun = false;
    Qt::CursorShape overBox = Qt::ArrowCursor;
    QTimer sampler;
    sampler.setInterval(20);
    QObject::connect(&sampler, &QTimer::timeout, [&] {
        ++ticks;
        query()->update();
        if (bar->isVisible() && !seen.contains(text->text()))
            seen << text->text();
        if (query()->isRunning() && !typedDuringRun) {
            typedDuringRun = true;
            QTest::keyClick(box(), Qt::Key_X);
            QTest::keyClick(box(), Qt::Key_X, Qt::AltModifier);
            QTest::mouseClick(query()->findChild<QPushButton *>(u"CmdExit"_qs), Qt::LeftButton);
            query()->close();
            // The pointer moved over the box still shows the wait.
            QTest::mouseMove(box()->viewport(), QPoint(30, 30));
            overBox = box()->viewport()->cursor().shape();
        }
    });
    struct PaintCounter : QObject {
        int paints = 0;
        bool eventFilter(QObject *, QEvent *e) override
        {
            paints += e->type() == QEvent::Paint;
            return false;
        }
    } counter;
    query()->installEventFilter(&counter);
    sampler.start();
    bool visibleAtMessage = true;
    m_app->onMessage = [&] { visibleAtMessage = bar->isVisible(); };

    QString script;
    for (int i = 0; i < 4; ++i)
        script += u"DO SLEEP(0.06);\n"_qs;
    script += u"SELECT SLEEP(2);\nSELECT nope"_qs;
    runScript(script);
    sampler.stop();
    QCoreApplication::processEvents();

    QVERIFY2(ticks > 50, qPrintable(QString::number(ticks)));
    QVERIFY2(counter.paints > 20, qPrintable(QString::number(counter.paints)));
    QVERIFY2(seen.contains(u"Statement 5 of 6, running 1 s"_qs), qPrintable(seen.join(u'|')));
    for (const QString &s : std::as_const(seen))
        QVERIFY2(s.startsWith(u"Statement "_qs) && s.contains(u" of 6"_qs), qPrintable(s));
    QVERIFY(typedDuringRun);
    QCOMPARE(overBox, Qt::WaitCursor);
    QVERIFY(!visibleAtMessage);
    QVERIFY(!bar->isVisible());
    QCOMPARE(m_app->endRequests, 0); // Exit, Alt+X and the close were swallowed
    QVERIFY(query()->isVisible());
    QVERIFY(!box()->scriptBytes().contains('x'));
    QCOMPARE(m_app->messages.size(), 1);
    QVERIFY(m_app->messages[0].startsWith(u"1 of 6 statements failed (first at line 6)."_qs));

    // A short run shows none.
    seen.clear();
    m_app->messages.clear();
    sampler.start();
    box()->clear();
    runScript(u"SELECT 1"_qs);
    sampler.stop();
    QVERIFY(seen.isEmpty());
}

void TestFrmQuery::endToEnd()
{
    const unsigned long firstConnection = ModPublic::Cnn->threadId();
    runScript(u"INSERT INTO window_rows (v) VALUES ('one');\n"
              "INSERT INTO no_such_table VALUES (1);\n"
              "INSERT INTO window_rows (v) VALUES ('three')"_qs);
    QCOMPARE(m_app->messages,
        QStringList { u"1 of 3 statements failed (first at line 2).\r\nDetails are in %1."_qs.arg(
            logPath()) });
    QCOMPARE(m_probe->column(u"SELECT v FROM window_rows ORDER BY id"_qs),
        (QStringList { u"one"_qs, u"three"_qs }));
    const QStringList log = readLogLines(logPath());
    QCOMPARE(log.size(), 1);
    QVERIFY(log[0].contains(u"FrmQuery\tExecuteNow"_qs) && log[0].contains(u"no_such_table"_qs));

    // CANCEL: back to fresh details over the same, still open connection.
    press(Qt::Key_C, Qt::AltModifier);
    QTRY_VERIFY(!m_app->queryWindow());
    QVERIFY(m_app->serverDetails());
    QCOMPARE(m_app->serverDetails()->findChild<QLineEdit *>(u"TxtServer"_qs)->text(), QString());
    QCOMPARE(m_app->serverDetails()->findChild<QLineEdit *>(u"TxtPort"_qs)->text(), u"3306"_qs);
    QVERIFY(ModPublic::Cnn);
    QCOMPARE(ModPublic::Cnn->threadId(), firstConnection);
    QCoreApplication::processEvents();
    QCOMPARE(m_app->quits, 0);

    // A new OK replaces the connection.
    connectThroughServerDetails();
    QVERIFY(ModPublic::Cnn->threadId() != firstConnection);
    QTRY_COMPARE(
        m_probe->scalar(u"SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE ID = %1"_qs.arg(
            firstConnection)),
        u"0"_qs);

    // Exit releases it and ends the program, as a success.
    press(Qt::Key_X, Qt::AltModifier);
    QTRY_COMPARE(m_app->endRequests, 1);
    QCOMPARE(m_app->exitStatus, EXIT_SUCCESS);
    QVERIFY(!ModPublic::Cnn);
    QVERIFY(!m_app->queryWindow());
}

void TestFrmQuery::cursorGoesToFirstFailure()
{
    // Far below the visible lines, after a line holding a line separator,
    // which is data in a literal and no line break of the script.
    QString text = u"SELECT '1\u20282';\r\n"_qs;
    for (int line = 2; line <= 60; ++line)
        text
            += line == 45 || line == 50 ? u"SELECT nope_%1;\r\n"_qs.arg(line) : u"SELECT 1;\r\n"_qs;
    box()->setText(text);
    box()->showPosition(0);
    QTest::mouseClick(query()->findChild<QPushButton *>(u"CmdOK"_qs), Qt::LeftButton);

    QCOMPARE(m_app->messages.size(), 1);
    QVERIFY2(m_app->messages[0].startsWith(u"2 of 60 statements failed (first at line 45)."_qs),
        qPrintable(m_app->messages[0]));
    const QByteArray shown = box()->scriptBytes();
    QCOMPARE(shown, text.toUtf8());
    QCOMPARE(shown.mid(caret(), 14), "SELECT nope_45");
    QCOMPARE(shown[caret() - 1], '\n');
    QVERIFY(box()->SendScintilla(QsciScintillaBase::SCI_GETSELECTIONEMPTY));
    const long first = box()->SendScintilla(QsciScintillaBase::SCI_GETFIRSTVISIBLELINE);
    const long shownLines = box()->SendScintilla(QsciScintillaBase::SCI_LINESONSCREEN);
    QVERIFY(first <= 44 && 44 < first + shownLines);
    QCOMPARE(QApplication::focusWidget(), box());
}

void TestFrmQuery::pastedTextReachesTheServerExactly()
{
    QVERIFY2(m_probe->exec(u"DROP TABLE IF EXISTS exact_rows"_qs)
            && m_probe->exec(u"CREATE TABLE exact_rows (v VARCHAR(100) CHARACTER SET utf8mb4 "
                             "COLLATE utf8mb4_bin)"_qs),
        qPrintable(m_probe->error()));
    // No-break and narrow no-break space, line separator, byte order mark,
    // soft hyphen, a combining acute, outside the basic plane, VT and FF.
    const QString value = u"a\u00A0b\u202Fc\u2028d\uFEFFe\u00ADf e\u0301 \U0001D11E\v\f."_qs;
    // The leading mark of a file pasted whole goes; the one in the data stays.
    pasteAndRun(u"\uFEFFINSERT INTO exact_rows (v) VALUES ('%1');\r\nINSERT INTO exact_rows (v) "
                "VALUES ('second')"_qs.arg(value));
    QTRY_COMPARE(m_app->messages, QStringList { u"Query Executed Successfully"_qs });
    QCOMPARE(m_probe->column(u"SELECT HEX(v) FROM exact_rows"_qs),
        (QStringList { QString::fromLatin1(value.toUtf8().toHex().toUpper()),
            QString::fromLatin1(QByteArray("second").toHex().toUpper()) }));
    QVERIFY(m_probe->exec(u"DROP TABLE exact_rows"_qs));
}

void TestFrmQuery::storedProgramsFromOnePastedScript()
{
    pasteAndRun(uR"(DROP PROCEDURE IF EXISTS win_proc;
DROP FUNCTION IF EXISTS win_func;
DROP EVENT IF EXISTS win_event;
DELIMITER $$
CREATE FUNCTION win_func(x INT) RETURNS INT DETERMINISTIC
BEGIN
  RETURN x * 2;
END$$
CREATE PROCEDURE win_proc()
BEGIN
  INSERT INTO window_rows (v) VALUES ('proc; called');
  INSERT INTO window_rows (v) VALUES (win_func(21));
END $$
DELIMITER ;;
/*!50003 CREATE*/ /*!50003 TRIGGER win_trigger BEFORE INSERT ON window_rows FOR EACH ROW BEGIN
  IF NEW.v = 'raw' THEN SET NEW.v = 'triggered'; END IF;
END */;;
DELIMITER //
CREATE EVENT win_event ON SCHEDULE EVERY 1 DAY DO BEGIN DELETE FROM window_rows; END //
DELIMITER
DELIMITER ;
CALL win_proc();
INSERT INTO window_rows (v) VALUES ('raw'))"_qs.replace(u'\n', u"\r\n"_qs));

    // The malformed line is the one failure, its line counted across sections;
    // dropping what does not exist, and an event while the scheduler is off,
    // give warnings.
    QTRY_COMPARE(m_app->messages,
        QStringList { u"1 of 10 statements failed (first at line 20).\r\nDetails are in %1.\r\n"
                      "4 statements gave warnings (first at line 1)."_qs.arg(logPath()) });
    const QStringList log = readLogLines(logPath());
    QCOMPARE(log.size(), 1);
    QVERIFY2(log[0].contains(u"DELIMITER must be followed by a delimiter"_qs)
            && log[0].contains(u"FrmQuery\tExecuteNow"_qs),
        qPrintable(log[0]));
    QCOMPARE(m_probe->column(u"SELECT v FROM window_rows ORDER BY id"_qs),
        (QStringList { u"proc; called"_qs, u"42"_qs, u"triggered"_qs }));
    QCOMPARE(m_probe->scalar(u"SELECT EVENT_DEFINITION FROM information_schema.EVENTS WHERE "
                             "EVENT_NAME = 'win_event'"_qs),
        u"BEGIN DELETE FROM window_rows; END"_qs);
    QVERIFY(m_probe->exec(u"DROP EVENT win_event"_qs)
        && m_probe->exec(u"DROP PROCEDURE win_proc"_qs)
        && m_probe->exec(u"DROP FUNCTION win_func"_qs));
}

void TestFrmQuery::droppedFileInsertsItsText_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("isFile");
    QTest::addColumn<QByteArray>("inserted"); // empty: refused
    // Each line end as it is: files come from anywhere.
    const QString text = u"SELECT 'é 𝄞\u2028';\r\nSELECT 2;\nSELECT 3\r"_qs;
    const auto utf16 = [&](QStringConverter::Encoding e) {
        return QByteArray(QStringEncoder(e, QStringConverter::Flag::WriteBom)(text));
    };
    QTest::newRow("UTF-8") << text.toUtf8() << true << text.toUtf8();
    QTest::newRow("UTF-8 with byte order mark")
        << "\xEF\xBB\xBF" + text.toUtf8() << true << text.toUtf8();
    QTest::newRow("UTF-16LE with byte order mark")
        << utf16(QStringConverter::Utf16LE) << true << text.toUtf8();
    QTest::newRow("UTF-16BE with byte order mark")
        << utf16(QStringConverter::Utf16BE) << true << text.toUtf8();
    QTest::newRow("binary") << QByteArray::fromHex("89504e470d0a1a0a0000000d49484452c3") << true
                            << QByteArray();
    QTest::newRow("text, not a file") << text.toUtf8() << false << text.toUtf8();
}

void TestFrmQuery::droppedFileInsertsItsText()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, isFile);
    QFETCH(QByteArray, inserted);
    QTemporaryDir dir;
    const QString path = dir.filePath(u"script.sql"_qs);
    QMimeData mime;
    if (isFile) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
        file.close();
        mime.setUrls({ QUrl::fromLocalFile(path) });
    } else {
        mime.setData(u"text/plain;charset=utf-8"_qs, bytes);
    }

    box()->setText(u"AB"_qs);
    const QPoint at(int(box()->SendScintilla(QsciScintillaBase::SCI_POINTXFROMPOSITION, 0UL, 1L)),
        int(box()->SendScintilla(QsciScintillaBase::SCI_POINTYFROMPOSITION, 0UL, 1L)) + 2);
    QDragEnterEvent enter(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(box()->viewport(), &enter);
    QVERIFY(enter.isAccepted());
    QDropEvent drop(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(box()->viewport(), &drop);

    QCoreApplication::processEvents(); // a refusal is shown once the drop is over
    QCOMPARE(m_app->messages,
        !inserted.isEmpty()
            ? QStringList()
            : QStringList { u"\"%1\" is not a text file in UTF-8 or UTF-16: nothing was "
                            "inserted."_qs.arg(path) });
    QCOMPARE(box()->scriptBytes(), "A" + inserted + "B");
}

// After a run the window marks statements; they lead F8 and Shift+F8 in the
// order they stand, whatever order they came in, and the first edit clears
// them all, margin included.
// After a run, each failure and warning is marked over its statement and
// says what happened at its first line; F8 goes from one to the next, and
// an edit clears them all.
void TestFrmQuery::marksGoOnEdit()
{
    const QString script = u"SET SESSION sql_mode = '';\n"
                           "INSERT INTO window_rows (v)\n  VALUES (REPEAT('x', 101));\n"
                           "SELECT nope;\n"
                           "SELECT 1"_qs;
    QCOMPARE(box()->SendScintilla(QsciScintillaBase::SCI_GETMARGINWIDTHN, 1), 0);
    pasteAndRun(script);
    QTRY_COMPARE(m_app->messages,
        QStringList { u"1 of 4 statements failed (first at line 4).\r\nDetails are in %1.\r\n"
                      "1 statement gave warnings (first at line 2)."_qs.arg(logPath()) });
    QCOMPARE(box()->markCount(), 2);
    QVERIFY(box()->SendScintilla(QsciScintillaBase::SCI_GETMARGINWIDTHN, 1) > 0);
    QCOMPARE(box()->annotation(1), u"Succeeded with 1 warning"_qs);
    QCOMPARE(box()->annotation(3), u"MySQL 1054 (42S22): Unknown column 'nope' in 'SELECT'"_qs);
    const qsizetype insert = script.indexOf(u"INSERT"_qs);
    const qsizetype nope = script.indexOf(u"SELECT nope"_qs);
    const auto indicatorsAt = [&](qsizetype position) {
        return box()->SendScintilla(
            QsciScintillaBase::SCI_INDICATORALLONFOR, static_cast<unsigned long>(position));
    };
    // Over the whole statement, both of its lines, and nothing else.
    QVERIFY(indicatorsAt(insert + 40) != 0 && indicatorsAt(nope + 10) != 0);
    QVERIFY(indicatorsAt(insert - 3) == 0 && indicatorsAt(script.size() - 2) == 0);
    QVERIFY(indicatorsAt(insert) != indicatorsAt(nope));
    QCOMPARE(caret(), nope); // the cursor went to the failure

    QList<qsizetype> visited;
    for (int i = 0; i < 2; ++i) {
        press(Qt::Key_F8);
        visited << caret();
    }
    press(Qt::Key_F8, Qt::ShiftModifier);
    visited << caret();
    QCOMPARE(visited, (QList<qsizetype> { insert, nope, insert }));

    typeText(u"x"_qs);
    QCOMPARE(box()->markCount(), 0);
    QCOMPARE(box()->SendScintilla(QsciScintillaBase::SCI_GETMARGINWIDTHN, 1), 0);
    QCOMPARE(box()->annotation(3), QString());
    QCOMPARE(box()->SendScintilla(QsciScintillaBase::SCI_MARKERGET, 3) & 3, 0);
    QCOMPARE(indicatorsAt(nope + 10), 0);
}

// Files too big for the box run from disk, in order, as one script, with
// the box showing the first lines; typing empties it.
void TestFrmQuery::bigDroppedFilesRunFromDisk()
{
    QTemporaryDir dir;
    QStringList paths;
    QByteArray first;
    for (int f = 0; f < 2; ++f) {
        QString text
            = f == 0 ? u"\uFEFFINSERT INTO window_rows (v) VALUES ('first');\r\n"_qs : QString();
        for (int i = 0; i < 300; ++i)
            text += u"INSERT INTO window_rows (v) VALUES ('%1-%2');\n"_qs.arg(f).arg(i);
        text += f == 0 ? u"INSERT INTO no_such_table VALUES (1);"_qs : u"SELECT 1"_qs;
        paths << dir.filePath(u"part%1.sql"_qs.arg(f));
        QFile file(paths.last());
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(text.toUtf8()) > 0);
        if (f == 0)
            first = text.toUtf8().sliced(3);
    }
    ScriptBox::setDiskThreshold(4096);
    FileScript::setWindowBytes(1000);
    QMimeData mime;
    mime.setUrls({ QUrl::fromLocalFile(paths[0]), QUrl::fromLocalFile(paths[1]) });
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(box()->viewport(), &enter);
    QDropEvent drop(QPoint(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(box()->viewport(), &drop);
    ScriptBox::setDiskThreshold();
    QCOMPARE(box()->diskScript(), paths);
    QVERIFY(box()->isReadOnly());
    QVERIFY(!box()->scriptBytes().isEmpty() && first.startsWith(box()->scriptBytes()));

    press(Qt::Key_O, Qt::AltModifier);
    // Each file starts on a line of its own: the second one's first is 303.
    QTRY_COMPARE(m_app->messages,
        QStringList {
            u"1 of 603 statements failed (first at line 302).\r\nDetails are in %1."_qs.arg(
                logPath()) });
    FileScript::setWindowBytes();
    QCOMPARE(m_probe->scalar(u"SELECT COUNT(*) FROM window_rows"_qs), u"601"_qs);
    QCOMPARE(
        m_probe->scalar(u"SELECT v FROM window_rows ORDER BY id DESC LIMIT 1"_qs), u"1-299"_qs);

    // Any edit gives back an ordinary, empty box.
    press(Qt::Key_A);
    QVERIFY(box()->diskScript().isEmpty());
    QVERIFY(!box()->isReadOnly());
    QCOMPARE(box()->scriptBytes(), QByteArray());
}

// After a paste the box colours the text as the cut reads it, marks where
// each statement's code starts and signs a ";" that a comment keeps from
// ending its statement; typing reads it again. After the run a failure's
// mark stands on its statement's first code line, its message broken to
// the box's width and whole on hover.
void TestFrmQuery::boxShowsHowTheScriptRuns()
{
    using C = ScriptBox::Colour;
    const QString script = uR"(-- orders to fix
UPDATE window_rows SET v = 'O''Brien' WHERE id = 99;  -- no such row
INSERT INTO window_rows (v) VALUES ("two");
/*!40101 SET @x = 1 */;
DELIMITER $$
SELECT `na``me` FROM no_such_table$$
DELIMITER ;
SELECT 'unclosed;
SELECT 3)"_qs.replace(u'\n', u"\r\n"_qs);
    QApplication::clipboard()->setText(script);
    box()->setFocus();
    press(Qt::Key_V, Qt::ControlModifier);
    box()->showPosition(0);
    const QByteArray bytes = box()->scriptBytes();
    const auto styleAt = [this](qsizetype at) {
        return C(box()->SendScintilla(
            QsciScintillaBase::SCI_GETSTYLEAT, static_cast<unsigned long>(at)));
    };
    const auto statementLines = [this] {
        QList<int> lines;
        for (int line = 0; line < box()->lines(); ++line) {
            if (box()->SendScintilla(QsciScintillaBase::SCI_MARKERGET, line)
                & (1 << ScriptBox::kStatementMarker))
                lines << line;
        }
        return lines;
    };
    const struct {
        const char *text;
        int offset;
        C colour;
    } probes[] = { { "-- orders", 0, C::Comment }, { "UPDATE", 0, C::Code },
        { "'O''Brien'", 0, C::Literal }, { "'O''Brien'", 2, C::Escape },
        { "'O''Brien'", 3, C::Escape }, { "'O''Brien'", 4, C::Literal },
        { "-- no such", 3, C::Comment }, { "\"two\"", 1, C::Literal },
        { "/*!40101", 0, C::Executable }, { "/*!40101", 7, C::Executable },
        { "SET @x", 0, C::Code }, { "*/;", 0, C::Executable }, { "DELIMITER $$", 0, C::Delimiter },
        { "DELIMITER $$", 11, C::Delimiter }, { "`na``me`", 1, C::Name },
        { "`na``me`", 3, C::Escape }, { "$$\r\nDELIMITER ;", 0, C::Code },
        { "DELIMITER ;", 10, C::Delimiter }, { "'unclosed", 1, C::Literal },
        { "SELECT 3", 0, C::Literal } };
    for (const auto &probe : probes) {
        const qsizetype at = bytes.indexOf(probe.text) + probe.offset;
        QTRY_COMPARE_WITH_TIMEOUT(styleAt(at), probe.colour, 2000);
    }
    // Under ANSI_QUOTES "…" is a name: a change of mode colours anew.
    box()->setSqlMode({ false, true });
    QTRY_COMPARE(styleAt(bytes.indexOf("\"two\"") + 1), C::Name);
    box()->setSqlMode({});
    QTRY_COMPARE(styleAt(bytes.indexOf("\"two\"") + 1), C::Literal);
    // The ";" and comment join lines 1 and 2; the DELIMITER lines are no
    // statements; the quote left open runs to the end.
    QTRY_COMPARE(statementLines(), (QList<int> { 1, 3, 5, 7 }));
    const qsizetype joined = bytes.indexOf("99;") + 2;
    const auto joinAt = [this](qsizetype at) {
        return box()->SendScintilla(QsciScintillaBase::SCI_INDICATORVALUEAT,
            ScriptBox::kJoinIndicator, static_cast<long>(at));
    };
    QVERIFY(joinAt(joined) != 0 && joinAt(joined + 2) != 0);
    QCOMPARE(joinAt(joined - 1), 0);
    QCOMPARE(joinAt(bytes.indexOf("\");") + 1), 0);
    const auto hoverAt = [this](qsizetype at) {
        const int x = int(box()->SendScintilla(
                          QsciScintillaBase::SCI_POINTXFROMPOSITION, 0UL, static_cast<long>(at)))
            + 2;
        const int y = int(box()->SendScintilla(
                          QsciScintillaBase::SCI_POINTYFROMPOSITION, 0UL, static_cast<long>(at)))
            + 2;
        QToolTip::hideText();
        emit box()->SCN_DWELLSTART(int(at), x, y);
        return QToolTip::text();
    };
    QVERIFY2(hoverAt(joined).contains(u"a comment follows it"_qs), qPrintable(hoverAt(joined)));

    // Typed, the closing quote ends the literal, and the last line is a
    // statement of its own.
    box()->showPosition(bytes.indexOf("unclosed") + 8);
    typeText(u"'"_qs);
    QTRY_COMPARE(styleAt(bytes.indexOf("SELECT 3") + 1), C::Code);
    QTRY_COMPARE(statementLines(), (QList<int> { 1, 3, 5, 7, 8 }));

    press(Qt::Key_O, Qt::AltModifier);
    QTRY_COMPARE(m_app->messages.size(), 1);
    QVERIFY2(m_app->messages[0].startsWith(u"2 of 5 statements failed (first at line 2)."_qs),
        qPrintable(m_app->messages[0]));
    const auto failureLines = [this] {
        QList<int> lines;
        for (int line = 0; line < box()->lines(); ++line) {
            if (box()->SendScintilla(QsciScintillaBase::SCI_MARKERGET, line) & 2)
                lines << line;
        }
        return lines;
    };
    QCOMPARE(failureLines(), (QList<int> { 1, 5 }));
    const QStringList note = box()->annotation(1).split(u'\n');
    const QString message = note.join(u' ');
    QVERIFY2(note.size() > 1
            && message.startsWith(u"MySQL 1064 (42000): You have an error in your SQL syntax"_qs)
            && message.endsWith(
                u"near 'INSERT INTO window_rows (v) VALUES (\"two\")' at line 3"_qs),
        qPrintable(note.join(u'|')));
    long room = box()->viewport()->width()
        - box()->SendScintilla(QsciScintillaBase::SCI_GETMARGINLEFT)
        - box()->SendScintilla(QsciScintillaBase::SCI_GETMARGINRIGHT);
    for (int margin = 0; margin < 5; ++margin)
        room -= box()->SendScintilla(QsciScintillaBase::SCI_GETMARGINWIDTHN, margin);
    const long noteStyle
        = box()->SendScintilla(QsciScintillaBase::SCI_ANNOTATIONGETSTYLEOFFSET) + 1;
    for (const QString &line : note) {
        const QByteArray text = line.toUtf8();
        QVERIFY2(box()->SendScintilla(QsciScintillaBase::SCI_TEXTWIDTH,
                     static_cast<unsigned long>(noteStyle), text.constData())
                <= room,
            qPrintable(line));
    }
    QCOMPARE(hoverAt(bytes.indexOf("UPDATE") + 2),
        Qt::convertFromPlainText(message, Qt::WhiteSpaceNormal));
}

// Past the colours' limit a paste takes the box to a document without
// styles, the text typed before it kept; the statements are still marked,
// Enter and typed characters go in as before, and a small script pasted
// over the whole text is coloured again.
void TestFrmQuery::bigScriptGoesWithoutColours()
{
    box()->setFocus();
    typeText(u"SELECT 0;"_qs);
    press(Qt::Key_Return);
    QByteArray big;
    while (big.size() < ScriptBox::kColourLimit)
        big += "INSERT INTO t VALUES (1, 'x');\r\n";
    big += "SELECT 'last'";
    auto *mime = new QMimeData;
    mime->setData(u"text/plain;charset=utf-8"_qs, big);
    QApplication::clipboard()->setMimeData(mime);
    press(Qt::Key_V, Qt::ControlModifier);
    QVERIFY(!box()->isColoured());
    const long lines = box()->lines();
    QTRY_VERIFY(box()->SendScintilla(QsciScintillaBase::SCI_MARKERGET, lines - 1)
        & (1 << ScriptBox::kStatementMarker));
    press(Qt::Key_Return);
    typeText(u"é"_qs);
    const QByteArray shown = box()->scriptBytes();
    QCOMPARE(shown.size(), 11 + big.size() + 4);
    QVERIFY(shown.startsWith("SELECT 0;\r\nINSERT") && shown.endsWith("'last'\r\n\xC3\xA9"));

    QApplication::clipboard()->setText(u"SELECT 'small'"_qs);
    press(Qt::Key_A, Qt::ControlModifier);
    press(Qt::Key_V, Qt::ControlModifier);
    QVERIFY(box()->isColoured());
    QCOMPARE(box()->scriptBytes(), "SELECT 'small'");
    QTRY_COMPARE(box()->SendScintilla(QsciScintillaBase::SCI_GETSTYLEAT, 8UL),
        long(ScriptBox::Colour::Literal));

    // Emptied, it stays as it is, for undo; typed into, it is coloured.
    mime = new QMimeData;
    mime->setData(u"text/plain;charset=utf-8"_qs, big);
    QApplication::clipboard()->setMimeData(mime);
    press(Qt::Key_V, Qt::ControlModifier);
    press(Qt::Key_A, Qt::ControlModifier);
    press(Qt::Key_Delete);
    QVERIFY(!box()->isColoured());
    typeText(u"'"_qs);
    QVERIFY(box()->isColoured());
    QCOMPARE(box()->scriptBytes(), "'");
}

QTEST_MAIN(TestFrmQuery)
#include "tst_frmquery.moc"
