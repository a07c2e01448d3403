#pragma once

// What the benchmark's modes share: the server and the admin connection, the
// delay proxy, the clock, the runs by Tesmor and by the mariadb client, and
// the alternation of measurements over rounds. Each mode has a file of its
// own and one entry point, declared at the end.
#include "core/Platform.h"
#include "db/Connection.h"

#include <QElapsedTimer>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>
#include <optional>

// One clock for the whole run, so times taken in different places compare.
extern QElapsedTimer benchClock;

// Seconds on benchClock since fromNs.
double seconds(qint64 fromNs);

class SilentPlatform final : public Platform {
public:
    QStringList messages;
    qint64 shownAtNs = 0; // on benchClock, when the last message was shown
    void showMessage(const QString &text) override
    {
        shownAtNs = benchClock.nsecsElapsed();
        messages << text;
    }
    void showWindow(Window) override { }
    void endProgram(int) override { }
};

// Resident set size (VmRSS) and its peak (VmHWM), in bytes, from /proc.
qint64 statusBytes(const char *field);
// Starts the peak over from the present size.
void resetPeak();

double median(QList<double> v);
// The median over the rounds of one measurement against another taken in
// the same round.
double medianRatio(const QList<QList<double>> &rounds, qsizetype of, qsizetype against);

struct Workload {
    QString script;
    qsizetype statements = 0;
    qsizetype failures = 0;
    qint64 rowsAfter = -1; // -1: not checked
};

// A script of single-row INSERTs into bench_rows; every failEvery-th
// statement repeats key 0 and fails on the server with a duplicate key.
Workload inserts(int rows, int failEvery, const QString &padding = QString());

// Runs sql on c; says what went wrong if it failed.
bool exec(Connection &c, const QString &sql);

struct Server {
    QString host = qEnvironmentVariable("TESMOR_TEST_HOST");
    QString port = qEnvironmentVariable("TESMOR_TEST_PORT");
    QString db = qEnvironmentVariable("TESMOR_TEST_DB", u"TESMOR_TEST"_qs);
};

// The delay proxy between the clients and the server, its rate capped in
// each direction when given; it ends with this object (end of its input), or
// with the benchmark if that dies first.
class DelayProxy {
public:
    DelayProxy(const Server &server, double delayMs, double rateMbit = 0);
    ~DelayProxy();
    DelayProxy(const DelayProxy &) = delete;
    DelayProxy &operator=(const DelayProxy &) = delete;

    // Empty when the proxy did not start.
    QString port() const { return m_port; }

private:
    QProcess m_process;
    QString m_port;
};

// What every mode shares: an admin connection beside Cnn on an empty
// bench_rows table, a folder of its own where the error log goes (as beside
// the program file) and a quiet platform. Drops the table at the end.
class Bench {
public:
    Server server;
    Connection admin;
    SilentPlatform silent;
    QTemporaryDir files;

    Bench() = default;
    Bench(const Bench &) = delete;
    Bench &operator=(const Bench &) = delete;
    ~Bench();

    bool open();
    // Opens Cnn the way the Server Details window does, to the server or to
    // a proxy in front of it.
    bool connectCnn(const QString &port);
    bool empty();
    QString writeFile(const QString &name, const QString &script);

    // mariadb --force (and options) on a script file, or on sql when given;
    // its own errors counted from stderr.
    struct ClientRun {
        double seconds = 0;
        qsizetype errors = 0;
        bool finished = false;
    };
    ClientRun runClient(const QString &file, const QString &port, const QString &sql = QString(),
        const QStringList &options = {});
    qint64 rowCount(const QString &table = u"bench_rows"_qs);
    // The run left what the script should leave; says what went wrong if not.
    bool check(const char *who, const Workload &w, qsizetype failed);

    // Statements a second through the window's runner on Cnn; 0 on failure.
    // What the window does, less the window: cutting, running on this
    // thread with failures logged, and the closing message.
    double runnerAloneRate(const Workload &w);
    // Statements a second as the window runs them (executeScript); 0 on failure.
    double tesmorRate(const Workload &w);
    // Statements a second by mariadb --force and options; 0 on failure.
    double clientRate(const Workload &w, const QString &file, const QString &port,
        const QStringList &options = {});

private:
    bool m_opened = false;
};

// Runs each measurement once per round, in turn, so that the machine's
// changing load touches all alike, and prints each round's figures under
// label; the medians of the rounds, or nothing when a run went wrong.
// Every round's figures, run by run, go to everyRound when given. Balanced,
// every other round runs them in reverse order, so that a server or machine
// that drifts over a long run favours none of them; the measurements must
// then not depend on each other's order.
std::optional<QList<double>> alternate(const char *label, int rounds,
    const QList<std::function<double()>> &runs, QList<QList<double>> *everyRound = nullptr,
    bool balanced = false);

// Tesmor and the mariadb client on the same script, alternated: prints
// "<name>: tesmor <A> stmt/s, mariadb <B> stmt/s, ratio <A/B>".
int againstClient(Bench &bench, const char *name, const Workload &w, const QString &fileName);

// The script of the execute and latency modes.
Workload executeWorkload();

// The modes, one a file of the same name; each returns 0 when it measured.
int benchProxy();
int benchWindow();
int benchCut();
int benchSelects();
int benchFailures();
int benchLog();
int benchExecute();
int benchLatency();
int benchDump();
int benchFile();
// The file mode's own runs, each in a process of its own: tesmor_bench
// --file-child disk|memory PATH.
int fileChild(const QStringList &args);
