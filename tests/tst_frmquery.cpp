#include "ServerProbe.h"
#include "TestApp.h"
#include "TestSupport.h"
#include "db/Connection.h"
#include "ui/FrmQuery.h"
#include "ui/FrmServer.h"

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

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
    void pastedLineEndsBecomeCrLf();
    void busyWhileRunning();
    void progressShowsOnLongRunsOnly();
    void endToEnd();

private:
    FrmQuery *query() const { return m_app->queryWindow(); }
    QPlainTextEdit *box() const { return query()->findChild<QPlainTextEdit *>(u"TxtQuery"_qs); }
    void connectThroughServerDetails();
    void runScript(const QString &typed);

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
    QCOMPARE(box()->toPlainText(), u"SELECT 1;\n\nSELECT 2"_qs);
    QCOMPARE(query()->scriptText(), u"SELECT 1;\r\n\r\nSELECT 2"_qs);
    QVERIFY(m_app->messages.isEmpty());
    QVERIFY(query()->isVisible());
}

void TestFrmQuery::pastedLineEndsBecomeCrLf()
{
    QApplication::clipboard()->setText(
        u"INSERT INTO window_rows (v) VALUES ('a');\nINSERT INTO window_rows (v) VALUES ('b');\r\n"
        "INSERT INTO window_rows (v) VALUES ('c')"_qs);
    box()->setFocus();
    press(Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(query()->scriptText(),
        u"INSERT INTO window_rows (v) VALUES ('a');\r\nINSERT INTO window_rows (v) VALUES "
        "('b');\r\nINSERT INTO window_rows (v) VALUES ('c')"_qs);
    press(Qt::Key_O, Qt::AltModifier);
    QTRY_COMPARE(m_app->messages, QStringList { u"Query Executed Successfully"_qs });
    QCOMPARE(m_probe->column(u"SELECT v FROM window_rows ORDER BY id"_qs),
        (QStringList { u"a"_qs, u"b"_qs, u"c"_qs }));
}

void TestFrmQuery::busyWhileRunning()
{
    Qt::CursorShape atMessage = Qt::ArrowCursor;
    m_app->onMessage = [&] { atMessage = query()->cursor().shape(); };
    runScript(u"SELECT 1"_qs);
    QCOMPARE(m_app->messages, QStringList { u"Query Executed Successfully"_qs });
    QCOMPARE(atMessage, Qt::WaitCursor);
    QCOMPARE(query()->cursor().shape(), Qt::ArrowCursor);
    QCOMPARE(box()->toPlainText(), u"SELECT 1"_qs);
}

void TestFrmQuery::progressShowsOnLongRunsOnly()
{
    const auto *bar = query()->findChild<QProgressBar *>(u"Progress"_qs);
    const auto *text = query()->findChild<QLabel *>(u"ProgressText"_qs);
    QVERIFY(bar && text);

    // Samples the window while the run lets events through.
    QStringList seen;
    bool typedDuringRun = false;
    QTimer sampler;
    sampler.setInterval(20);
    QObject::connect(&sampler, &QTimer::timeout, [&] {
        if (bar->isVisible() && !seen.contains(text->text()))
            seen << text->text();
        if (query()->isRunning() && !typedDuringRun) {
            typedDuringRun = true;
            QTest::keyClick(box(), Qt::Key_X);
            QTest::mouseClick(query()->findChild<QPushButton *>(u"CmdExit"_qs), Qt::LeftButton);
        }
    });
    sampler.start();
    bool visibleAtMessage = true;
    m_app->onMessage = [&] { visibleAtMessage = bar->isVisible(); };

    QString script;
    for (int i = 0; i < 8; ++i)
        script += u"DO SLEEP(0.06);\n"_qs;
    script += u"SELECT nope"_qs;
    runScript(script);
    sampler.stop();

    QVERIFY2(!seen.isEmpty(), "no progress was shown during a run of half a second");
    for (const QString &s : std::as_const(seen))
        QVERIFY2(s.startsWith(u"Statement "_qs) && s.contains(u" of 9"_qs), qPrintable(s));
    QVERIFY(typedDuringRun);
    QVERIFY(!visibleAtMessage);
    QVERIFY(!bar->isVisible());
    QCOMPARE(m_app->endRequests, 0); // Exit was not pressed during the run
    QVERIFY(!box()->toPlainText().contains(u'x'));
    QCOMPARE(m_app->messages.size(), 1);
    QVERIFY(m_app->messages[0].startsWith(u"1 of 9 statements failed (first at line 9)."_qs));

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

    // Exit releases it and ends the program.
    press(Qt::Key_X, Qt::AltModifier);
    QTRY_COMPARE(m_app->endRequests, 1);
    QVERIFY(!ModPublic::Cnn);
    QVERIFY(!m_app->queryWindow());
}

QTEST_MAIN(TestFrmQuery)
#include "tst_frmquery.moc"
