#pragma once

#include "core/ErrorTrap.h"

#include <QString>

#include <memory>
#include <optional>

struct st_mysql;
class PeerWatch;

// The program's database connection: an ODBC-style connection string opened
// over MariaDB Connector/C. The connection closes when the object goes.
class Connection {
public:
    Connection();
    ~Connection();
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    // Accepted for compatibility; no record set is ever read.
    void setCursorLocation(int location) { m_cursorLocation = location; }
    int cursorLocation() const { return m_cursorLocation; }

    void setConnectionString(const QString &text) { m_connectionString = text; }
    QString connectionString() const { return m_connectionString; }

    // Opens the connection string set before; blocks until the attempt is
    // over. A server whose certificate once verified must verify again
    // (VerifiedServers); any other connects with TLS when offered, unverified.
    // Over a network, the link is measured first, and where compression
    // would raise a dump's rate (compressionPays) the session is opened
    // again with the protocol compressed, when the server offers it.
    [[nodiscard]] Outcome Open();
    // 1 when open, 0 when closed.
    int State() const;
    // False once Connector/C has closed the connection's socket, as it does
    // when the connection is lost: then no answer can come any more.
    bool socketOpen() const;
    // A failure that did not keep the last Open from opening: the list of
    // verified servers could not be written.
    const Outcome &openNotice() const { return m_openNotice; }

    // Runs one statement and drains everything it returns, rows discarded as
    // they arrive, so that any result size runs in constant memory.
    [[nodiscard]] Outcome Execute(QStringView statement);
    [[nodiscard]] Outcome execute(QByteArrayView utf8Statement);

    // Pipelined use: sendStatement sends one statement without waiting for
    // its answer; readAnswer reads and drains the oldest answer outstanding.
    // Answers come back in the order the statements were sent. Only
    // statements whose answer holds no rows may be outstanding together.
    [[nodiscard]] Outcome sendStatement(QByteArrayView utf8Statement);
    [[nodiscard]] Outcome readAnswer();
    // The warnings of the last answer read, over all its results.
    unsigned warningCount() const { return m_warnings; }

    // Whether the session accepts several statements in one text; off
    // unless asked for. Only while no answer is outstanding.
    [[nodiscard]] Outcome setMultiStatements(bool on);

    // The session's sql_mode as the server reads it now; nothing when it
    // cannot be read. Only while no answer is outstanding.
    std::optional<QByteArray> sessionSqlMode();

    // The server's id for this connection (0 when closed).
    unsigned long threadId() const;
    // The TLS cipher of the session; empty when it is not encrypted.
    QString sslCipher() const;
    // The largest packet the server accepts, read once on opening; 0 when unknown.
    qint64 maxAllowedPacket() const { return m_maxAllowedPacket; }
    // The receive memory the kernel granted this connection's socket, which
    // answers not yet read may fill; 0 when closed, and on a Unix socket,
    // whose unread answers fill the server's send buffer instead.
    qint64 answerRoom() const { return m_answerRoom; }
    // The receive buffer asked for on connections opened from now on; tests
    // shrink it to stand for a machine or network that grants less.
    static constexpr int kReceiveBuffer = 4 << 20;
    static void setReceiveBuffer(int bytes = kReceiveBuffer);

    // The bytes of statements sent that still wait in the socket, as behind
    // a server's closed window; 0 on a Unix socket.
    qint64 unsentBytes() const;

    // TCP keepalive timers of connections opened from now on, which also
    // bound how long a peer may leave data or a probe unacknowledged; tests
    // shorten them to see a dead network quickly.
    struct KeepAlive {
        int idleSeconds = 30;
        int intervalSeconds = 10;
        int probes = 6;
    };
    static void setKeepAlive(const KeepAlive &timers);

    // True when the session is inside a transaction: its changes so far are
    // not committed, and closing the connection rolls them back. As of the
    // last OK answer: an error answer carries no status.
    bool inTransaction() const;
    // Brings inTransaction() up to date with one statement that does
    // nothing but answer OK (Connector/C does not read a ping's answer).
    // Should that fail too, the status stays as the last OK left it.
    void refreshStatus();

    // How long Open waits for the server to answer; tests shorten it.
    void setConnectTimeout(unsigned seconds) { m_connectTimeoutSeconds = seconds; }

    // Whether connections opened from now on may compress their protocol
    // where the link is slow (see Open); on unless turned off, as the bench
    // does to compare.
    static void setCompressionWhereSlow(bool allowed = true);
    // True when the session's protocol is compressed.
    bool compressed() const;
    // The rate in bytes a second Open measured the link at; nothing when it
    // did not (a Unix socket, a server without compression, or the
    // measurement failed).
    std::optional<double> linkRate() const { return m_linkRate; }

private:
    struct Closer {
        void operator()(st_mysql *m) const;
    };
    using Handle = std::unique_ptr<st_mysql, Closer>;
    struct Endpoint;
    // One connect attempt. error is 0 when it connected, else Connector/C's
    // code, the handle (empty when none could be made) holding the message.
    // verify demands TLS with a certificate that the trust store vouches for
    // and that names the host.
    [[nodiscard]] Handle connectAttempt(const Endpoint &target, bool verify, unsigned &error) const;
    // Lost-connection errors mean "gone away" only for a connection that was open.
    [[nodiscard]] Outcome driverFailure(bool wasOpen = true) const;
    [[nodiscard]] Outcome drainResults();
    // Opens the connection string, compressed when m_compress is set.
    [[nodiscard]] Outcome connect();
    // Measures the link of the session just opened and, where compression
    // would raise a dump's rate, opens it again compressed; the session as
    // it is should that fail.
    void compressWhereSlow();

    Handle m_mysql;
    QString m_connectionString;
    int m_cursorLocation = 2;
    qint64 m_maxAllowedPacket = 0;
    unsigned m_warnings = 0;
    qint64 m_answerRoom = 0;
    unsigned m_connectTimeoutSeconds = 15;
    Outcome m_openNotice;
    // Gone before m_mysql, which it watches.
    std::unique_ptr<PeerWatch> m_watch;
    bool m_compress = false;
    std::optional<double> m_linkRate;
};

// The Source of failures the connection raises itself.
inline constexpr char16_t kConnectionSource[] = u"Tesmor connection";

// Why f happened, as the user is shown it: "MySQL 1146 (42S02): Table
// 'shop.nosuch' doesn't exist", the code as the log's Source has it without
// the line it points at, and no internal name for the connection's own
// refusals, which have no code to give.
QString failureReason(const Failure &f);
