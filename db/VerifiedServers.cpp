#include "db/VerifiedServers.h"

#include "core/ErrorTrap.h"

#include <QDir>
#include <QFile>
#include <QList>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// One spelling per server: names are compared without regard to case, as
// DNS compares them, a final dot changes nothing, and an IPv6 address has
// many spellings.
QByteArray normalHost(QByteArray host)
{
    in6_addr address {};
    if (inet_pton(AF_INET6, host.constData(), &address) == 1) {
        char text[INET6_ADDRSTRLEN] = {};
        if (inet_ntop(AF_INET6, &address, text, sizeof text))
            return text;
    }
    if (host.size() > 1 && host.endsWith('.'))
        host.chop(1);
    return host.toLower();
}

// The list as it is on disk; empty when absent or not a regular file: a FIFO
// would hold the connect forever, a device could hold anything.
QByteArray readList()
{
    const QByteArray name = QFile::encodeName(VerifiedServers::filePath());
    const int fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return {};
    QByteArray contents;
    struct stat info { };
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        QFile file;
        if (file.open(fd, QIODevice::ReadOnly))
            contents = file.readAll();
    }
    ::close(fd);
    return contents;
}

} // namespace

QString VerifiedServers::filePath()
{
    return stateDirectory() + u"/verified-servers"_qs;
}

int VerifiedServers::lineOf(const QByteArray &host, unsigned port)
{
    const QByteArray wanted = normalHost(host);
    const QList<QByteArray> lines = readList().split('\n');
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QList<QByteArray> fields = lines[i].simplified().split(' ');
        bool isNumber = false;
        if (fields.size() == 2 && fields[1].toUInt(&isNumber) == port && isNumber
            && normalHost(fields[0]) == wanted)
            return static_cast<int>(i + 1);
    }
    return 0;
}

bool VerifiedServers::remember(const QByteArray &host, unsigned port)
{
    QDir().mkpath(stateDirectory());
    // A last line left without its line break by an editor stays a line.
    const QByteArray before = readList();
    const QByteArray line = normalHost(host) + ' ' + QByteArray::number(port) + '\n';
    return appendToRegularFile(
        filePath(), before.isEmpty() || before.endsWith('\n') ? line : '\n' + line);
}
