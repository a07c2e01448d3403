#include "db/VerifiedServers.h"

#include "core/ErrorTrap.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/file.h>
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

QString errorText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// What a host in the list may hold: the letters, digits and signs of names
// and addresses, as the program writes them. A byte order mark, a comment
// or a port after a colon make a line that names no server as meant.
bool isHostText(QByteArrayView text)
{
    return !text.isEmpty() && std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
            || c == '.' || c == '-' || c == '_' || c == ':';
    });
}

bool isPortText(QByteArrayView text, unsigned &port)
{
    if (text.isEmpty() || text.size() > 5
        || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    port = text.toByteArray().toUInt();
    return port >= 1 && port <= 65535;
}

// The list's file, opened without following a symbolic link, and without
// waiting: a FIFO would hold the connect forever. -1, with problem empty,
// when it is absent.
int openList(int flags, QString &problem)
{
    const QByteArray name = QFile::encodeName(VerifiedServers::filePath());
    const int fd = ::open(name.constData(), flags | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd < 0) {
        if (errno != ENOENT)
            problem = errno == ELOOP ? u"it is a symbolic link"_qs : errorText(errno);
        return -1;
    }
    struct stat info { };
    if (::fstat(fd, &info) != 0)
        problem = errorText(errno);
    else if (S_ISDIR(info.st_mode))
        problem = u"it is a folder"_qs;
    else if (!S_ISREG(info.st_mode))
        problem = u"it is not a regular file"_qs;
    if (problem.isEmpty())
        return fd;
    ::close(fd);
    return -1;
}

bool readAll(int fd, QByteArray &contents, QString &problem)
{
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n == 0)
            return true;
        if (n > 0) {
            contents.append(buffer, n);
        } else if (errno != EINTR) {
            problem = errorText(errno);
            return false;
        }
    }
}

// The numbers of the lines that name host and port; problem set, and
// nothing returned, when a line is not "host port". A blank line names
// nothing.
QList<int> linesNaming(
    const QByteArray &contents, const QByteArray &host, unsigned port, QString &problem)
{
    const QByteArray wanted = normalHost(host);
    const QList<QByteArray> lines = contents.split('\n');
    QList<int> naming;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QList<QByteArray> fields = lines[i].simplified().split(' ');
        unsigned linePort = 0;
        if (fields.size() == 1 && fields[0].isEmpty())
            continue;
        if (fields.size() != 2 || !isHostText(fields[0]) || !isPortText(fields[1], linePort)) {
            problem = u"line %1 is not \"host port\""_qs.arg(i + 1);
            return {};
        }
        if (linePort == port && normalHost(fields[0]) == wanted)
            naming << static_cast<int>(i + 1);
    }
    return naming;
}

} // namespace

QString VerifiedServers::filePath()
{
    return stateDirectory() + u"/verified-servers"_qs;
}

VerifiedServers::Lookup VerifiedServers::find(const QByteArray &host, unsigned port)
{
    Lookup found;
    const int fd = openList(O_RDONLY, found.problem);
    if (fd < 0)
        return found;
    QByteArray contents;
    if (readAll(fd, contents, found.problem))
        found.lines = linesNaming(contents, host, port, found.problem);
    ::close(fd);
    return found;
}

QString VerifiedServers::remember(const QByteArray &host, unsigned port)
{
    QString problem = makeStateDirectory();
    if (!problem.isEmpty())
        return problem;
    const int fd = openList(O_RDWR | O_APPEND | O_CREAT, problem);
    if (fd < 0)
        return problem.isEmpty() ? errorText(ENOENT) : problem;
    // What another program added since the list was read counts too.
    int locked;
    do {
        locked = ::flock(fd, LOCK_EX);
    } while (locked != 0 && errno == EINTR);
    QByteArray contents;
    if (locked != 0)
        problem = errorText(errno);
    else if (readAll(fd, contents, problem) && linesNaming(contents, host, port, problem).isEmpty()
        && problem.isEmpty()) {
        // A last line left without its line break by an editor stays a line.
        QByteArray line = normalHost(host) + ' ' + QByteArray::number(port) + '\n';
        if (!contents.isEmpty() && !contents.endsWith('\n'))
            line.prepend('\n');
        ssize_t written;
        do {
            written = ::write(fd, line.constData(), static_cast<size_t>(line.size()));
        } while (written < 0 && errno == EINTR);
        if (written < 0)
            problem = errorText(errno);
        if (written >= 0 && written < line.size()) {
            problem = u"the disk took only part of the line"_qs;
            if (::ftruncate(fd, static_cast<off_t>(contents.size())) != 0)
                problem += u", which stays: %1"_qs.arg(errorText(errno));
        }
    }
    ::close(fd);
    return problem;
}
