#pragma once

#include "core/ErrorTrap.h"

#include <QString>

#include <memory>

struct st_mysql;

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

    // Opens the connection string set before; blocks until the attempt is over.
    [[nodiscard]] Outcome Open();
    // 1 when open, 0 when closed.
    int State() const;

    // Runs one statement and drains everything it returns, rows discarded as
    // they arrive, so that any result size runs in constant memory.
    [[nodiscard]] Outcome Execute(QStringView statement);
    [[nodiscard]] Outcome executeUtf8(const QByteArray &statement);

    // Pipelined use: sendStatement sends one statement without waiting for
    // its answer; readAnswer reads and drains the oldest answer outstanding.
    // Answers come back in the order the statements were sent. Only
    // statements whose answer holds no rows may be outstanding together.
    [[nodiscard]] Outcome sendStatement(const QByteArray &statement);
    [[nodiscard]] Outcome readAnswer();

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

    // TCP keepalive timers of connections opened from now on; tests shorten
    // them to see a dead network quickly.
    struct KeepAlive {
        int idleSeconds = 30;
        int intervalSeconds = 10;
        int probes = 6;
    };
    static void setKeepAlive(const KeepAlive &timers);

    // True when the session is inside a transaction: its changes so far are
    // not committed, and closing the connection rolls them back.
    bool inTransaction() const;

    // How long Open waits for the server to answer; tests shorten it.
    void setConnectTimeout(unsigned seconds) { m_connectTimeoutSeconds = seconds; }

private:
    struct Closer {
        void operator()(st_mysql *m) const;
    };
    // Lost-connection errors mean "gone away" only for a connection that was open.
    [[nodiscard]] Outcome driverFailure(bool wasOpen = true) const;
    [[nodiscard]] Outcome drainResults();

    std::unique_ptr<st_mysql, Closer> m_mysql;
    QString m_connectionString;
    int m_cursorLocation = 2;
    qint64 m_maxAllowedPacket = 0;
    qint64 m_answerRoom = 0;
    unsigned m_connectTimeoutSeconds = 15;
};

// The Source of failures the connection raises itself.
inline constexpr char16_t kConnectionSource[] = u"Tesmor connection";
