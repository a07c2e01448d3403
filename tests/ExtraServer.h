#pragma once

// A MariaDB server of a test's own, for settings the shared test server does
// not have (TLS, small limits, a network namespace, a cluster). It lives in
// a temporary folder, has the program's account and the TESMOR_TEST
// database, and is shut down, and waited for, when the object goes.
#include "TestSupport.h"

#include <QDir>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

// Makes a new key and a certificate for it, valid for two days.
inline bool newCertificate(
    const QString &subject, const QString &key, const QString &cert, const QStringList &more = {})
{
    QProcess openssl;
    openssl.setProcessChannelMode(QProcess::MergedChannels);
    openssl.start(u"openssl"_qs,
        QStringList { u"req"_qs, u"-x509"_qs, u"-newkey"_qs, u"rsa:2048"_qs, u"-nodes"_qs,
            u"-days"_qs, u"2"_qs, u"-subj"_qs, subject, u"-keyout"_qs, key, u"-out"_qs, cert }
            + more);
    if (!openssl.waitForFinished(60000) || openssl.exitCode() != 0) {
        qWarning("openssl req failed: %s", openssl.readAll().constData());
        return false;
    }
    return true;
}

struct ExtraServerOptions {
    QStringList serverArguments; // added to mariadbd's own
    // Offers TLS with a self-signed certificate of its own, as a server
    // whose administrator turned TLS on would.
    bool selfSignedTls = false;
    QString bindAddress = u"127.0.0.1"_qs;
    // Launches mariadbd through this, e.g. {"ip", "netns", "exec", "NAME"}.
    QStringList launchPrefix;
    // A cluster node that joins takes its data from the cluster instead.
    bool install = true;
    // A cluster node takes statements only once it is in step with its cluster.
    bool waitUntilReady = false;
};

class ExtraServer {
public:
    explicit ExtraServer(ExtraServerOptions options = {})
        : m_options(std::move(options))
    {
        if (!m_dir.isValid()) {
            m_error = u"no temporary folder"_qs;
            return;
        }
        if (m_options.install ? !install() : !prepareForStateTransfer())
            return;
        if (m_options.selfSignedTls) {
            const QString key = m_dir.filePath(u"key.pem"_qs);
            const QString cert = m_dir.filePath(u"cert.pem"_qs);
            if (!newCertificate(u"/CN=tesmor-test"_qs, key, cert)) {
                m_error = u"no certificate"_qs;
                return;
            }
            m_options.serverArguments << u"--ssl-cert="_qs + cert << u"--ssl-key="_qs + key;
        }
        // A port taken by someone else shows as a server that exits at once.
        for (int attempt = 0; attempt < 5 && !m_server; ++attempt) {
            if (!start(20000 + QRandomGenerator::global()->bounded(40000)))
                return;
        }
        if (!m_server) {
            m_error = u"the server did not start: "_qs + errorLogTail();
            return;
        }
        if (m_options.waitUntilReady && !waitForStatus(u"wsrep_ready"_qs, u"ON"_qs)) {
            m_error = u"the node did not get ready: "_qs + errorLogTail();
            stop();
            return;
        }
        if (!sql(u"DELETE FROM mysql.global_priv WHERE User = ''; FLUSH PRIVILEGES;"
                 "CREATE USER IF NOT EXISTS 'olun'@'%' IDENTIFIED BY '';"
                 "CREATE USER IF NOT EXISTS 'olun'@'localhost' IDENTIFIED BY '';"
                 "GRANT ALL PRIVILEGES ON *.* TO 'olun'@'%';"
                 "GRANT ALL PRIVILEGES ON *.* TO 'olun'@'localhost';"
                 "CREATE DATABASE IF NOT EXISTS TESMOR_TEST;"_qs))
            stop();
    }

    ~ExtraServer() { stop(); }
    ExtraServer(const ExtraServer &) = delete;
    ExtraServer &operator=(const ExtraServer &) = delete;

    bool ok() const { return m_server != nullptr; }
    QString error() const { return m_error; }
    TestServer server() const
    {
        TestServer s;
        s.host = m_options.bindAddress;
        s.port = QString::number(m_port);
        s.database = u"TESMOR_TEST"_qs;
        return s;
    }

    // Runs statements as root over the server's socket.
    bool sql(const QString &statements)
    {
        QProcess p;
        p.start(u"mariadb"_qs,
            { u"--no-defaults"_qs, u"--socket="_qs + socketPath(), u"-uroot"_qs, u"-e"_qs,
                statements });
        if (!p.waitForFinished(30000) || p.exitStatus() != QProcess::NormalExit
            || p.exitCode() != 0) {
            m_error = u"mariadb -e failed: "_qs + QString::fromLocal8Bit(p.readAllStandardError());
            return false;
        }
        return true;
    }

    // One of the server's status variables; empty when it cannot be read.
    QString status(const QString &name) const
    {
        QProcess p;
        p.start(u"mariadb"_qs,
            { u"--no-defaults"_qs, u"--socket="_qs + socketPath(), u"-uroot"_qs, u"-N"_qs, u"-B"_qs,
                u"-e"_qs, u"SHOW GLOBAL STATUS LIKE '%1'"_qs.arg(name) });
        if (!p.waitForFinished(10000) || p.exitCode() != 0)
            return QString();
        return QString::fromLocal8Bit(p.readAllStandardOutput()).section(u'\t', 1).trimmed();
    }

    // Waits up to 30 s for a status variable to show a value.
    bool waitForStatus(const QString &name, const QString &value) const
    {
        for (int i = 0; i < 150; ++i) {
            if (status(name) == value)
                return true;
            QThread::msleep(200);
        }
        return false;
    }

    // Ends the server at once, as a crash or a power cut would.
    void kill()
    {
        if (!m_server)
            return;
        m_server->kill();
        m_server->waitForFinished(-1);
        m_server.reset();
    }

private:
    QString dataDir() const { return m_dir.filePath(u"data"_qs); }
    // A server starting up removes other servers' temporary tables from its
    // temporary folder: each server has one of its own.
    QString tmpDir() const
    {
        const QString dir = m_dir.filePath(u"tmp"_qs);
        QDir().mkpath(dir);
        return dir;
    }
    QString socketPath() const { return m_dir.filePath(u"mariadb.sock"_qs); }

    static QStringList userArguments()
    {
        // mariadbd refuses to run as root unless told so.
        return geteuid() == 0 ? QStringList { u"--user=root"_qs } : QStringList();
    }

    bool install()
    {
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(u"mariadb-install-db"_qs,
            QStringList { u"--no-defaults"_qs } + userArguments()
                + QStringList { u"--datadir="_qs + dataDir(), u"--tmpdir="_qs + tmpDir(),
                    u"--auth-root-authentication-method=normal"_qs, u"--skip-test-db"_qs });
        if (!p.waitForFinished(120000) || p.exitStatus() != QProcess::NormalExit
            || p.exitCode() != 0) {
            m_error = u"mariadb-install-db failed: "_qs + QString::fromLocal8Bit(p.readAll());
            return false;
        }
        return true;
    }

    // An empty data folder that a state transfer by rsync can fill. As root,
    // rsync's daemon writes as the user nobody, so the folder is theirs and
    // the folders above it let them through.
    bool prepareForStateTransfer()
    {
        if (!QDir().mkpath(dataDir())) {
            m_error = u"no data folder"_qs;
            return false;
        }
        if (geteuid() != 0)
            return true;
        const passwd *nobody = getpwnam("nobody");
        if (!nobody
            || ::chown(QFile::encodeName(dataDir()).constData(), nobody->pw_uid, nobody->pw_gid)
                != 0
            || !QFile::setPermissions(m_dir.path(),
                QFile::permissions(m_dir.path()) | QFile::ExeGroup | QFile::ExeOther)) {
            m_error = u"the data folder cannot be handed to the user nobody"_qs;
            return false;
        }
        return true;
    }

    // False only when mariadbd cannot be launched at all; a server that
    // exits (its port taken) leaves m_server empty for another try.
    bool start(int port)
    {
        QStringList command = m_options.launchPrefix;
        command << u"mariadbd"_qs << u"--no-defaults"_qs << userArguments()
                << u"--datadir="_qs + dataDir() << u"--tmpdir="_qs + tmpDir()
                << u"--socket="_qs + socketPath() << u"--port="_qs + QString::number(port)
                << u"--bind-address="_qs + m_options.bindAddress << u"--lower-case-table-names=1"_qs
                << u"--innodb-flush-log-at-trx-commit=0"_qs << u"--skip-name-resolve"_qs
                << u"--pid-file="_qs + m_dir.filePath(u"mariadbd.pid"_qs)
                << u"--log-error="_qs + m_dir.filePath(u"error.log"_qs)
                << m_options.serverArguments;
        auto process = std::make_unique<QProcess>();
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process->setStandardOutputFile(QProcess::nullDevice());
        process->start(command.takeFirst(), command);
        if (!process->waitForStarted(30000)) {
            m_error = u"could not launch mariadbd: "_qs + process->errorString();
            return false;
        }
        // Waiting for the process to end doubles as the pause between pings.
        for (int i = 0; i < 150; ++i) {
            if (process->waitForFinished(200))
                return true;
            if (ping()) {
                m_server = std::move(process);
                m_port = port;
                return true;
            }
        }
        m_error = u"the server did not answer in 30 s"_qs;
        process->kill();
        process->waitForFinished(-1);
        return false;
    }

    bool ping() const
    {
        QProcess p;
        p.start(u"mariadb-admin"_qs,
            { u"--no-defaults"_qs, u"--socket="_qs + socketPath(), u"-uroot"_qs, u"ping"_qs });
        return p.waitForFinished(10000) && p.exitStatus() == QProcess::NormalExit
            && p.exitCode() == 0;
    }

    void stop()
    {
        if (!m_server)
            return;
        // The shutdown command returns before the server has stopped.
        QProcess admin;
        admin.start(u"mariadb-admin"_qs,
            { u"--no-defaults"_qs, u"--socket="_qs + socketPath(), u"-uroot"_qs, u"shutdown"_qs });
        admin.waitForFinished(30000);
        if (!m_server->waitForFinished(60000)) {
            m_server->kill();
            m_server->waitForFinished(-1);
        }
        m_server.reset();
    }

    QString errorLogTail() const
    {
        QFile f(m_dir.filePath(u"error.log"_qs));
        if (!f.open(QIODevice::ReadOnly))
            return u"(no error log)"_qs;
        const QByteArray all = f.readAll();
        return QString::fromLocal8Bit(all.right(2000));
    }

    ExtraServerOptions m_options;
    QTemporaryDir m_dir;
    std::unique_ptr<QProcess> m_server;
    int m_port = 0;
    QString m_error;
};

// Distinct free ports on the loopback address, as the system hands them out.
inline QList<quint16> freeLoopbackPorts(int count)
{
    QList<quint16> ports;
    QList<int> sockets;
    for (int i = 0; i < count; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        auto *raw = reinterpret_cast<sockaddr *>(&address);
        if (fd >= 0 && ::bind(fd, raw, size) == 0 && ::getsockname(fd, raw, &size) == 0)
            ports << ntohs(address.sin_port);
        sockets << fd;
    }
    for (const int fd : sockets)
        ::close(fd);
    return ports;
}

// Two servers in one Galera cluster on loopback: the first founds it, the
// second joins it by a state transfer through rsync. A node that stops
// answering is noticed in about three seconds instead of the usual five to
// fifteen, with room left for a busy machine.
class GaleraPair {
public:
    static QString provider() { return u"/usr/lib/galera/libgalera_smm.so"_qs; }
    static bool installed() { return QFile::exists(provider()); }

    GaleraPair()
    {
        // Per node: group communication, incremental and full state transfer.
        const QList<quint16> ports = freeLoopbackPorts(6);
        if (ports.size() != 6) {
            m_error = u"no free loopback ports"_qs;
            return;
        }
        const QString cluster = u"gcomm://127.0.0.1:%1,127.0.0.1:%2"_qs.arg(ports[0]).arg(ports[3]);
        for (int i = 0; i < 2; ++i) {
            ExtraServerOptions options;
            options.install = i == 0;
            options.waitUntilReady = true;
            options.serverArguments = { u"--wsrep-on=ON"_qs, u"--wsrep-provider="_qs + provider(),
                u"--wsrep-cluster-address="_qs + cluster,
                u"--wsrep-provider-options=gmcast.listen_addr=tcp://127.0.0.1:%1;"
                "ist.recv_addr=127.0.0.1:%2;gcache.size=16M;evs.keepalive_period=PT0.5S;"
                "evs.inactive_check_period=PT0.5S;evs.suspect_timeout=PT2S;"
                "evs.inactive_timeout=PT3S"_qs.arg(ports[3 * i])
                    .arg(ports[3 * i + 1]),
                u"--wsrep-sst-method=rsync"_qs,
                u"--wsrep-sst-receive-address=127.0.0.1:%1"_qs.arg(ports[3 * i + 2]),
                u"--wsrep-node-address=127.0.0.1"_qs, u"--binlog-format=ROW"_qs,
                u"--innodb-autoinc-lock-mode=2"_qs };
            if (i == 0)
                options.serverArguments << u"--wsrep-new-cluster"_qs;
            m_nodes[i] = std::make_unique<ExtraServer>(options);
            if (!m_nodes[i]->ok()) {
                m_error = u"node %1: %2"_qs.arg(i + 1).arg(m_nodes[i]->error());
                return;
            }
        }
    }

    bool ok() const { return m_error.isEmpty(); }
    QString error() const { return m_error; }
    ExtraServer &first() { return *m_nodes[0]; }
    ExtraServer &second() { return *m_nodes[1]; }

private:
    std::unique_ptr<ExtraServer> m_nodes[2];
    QString m_error;
};
