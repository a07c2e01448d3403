#include "core/ErrorTrap.h"

#include "core/ModPublic.h"
#include "core/Platform.h"

#include <QDir>
#include <QFileInfo>
#include <QStringList>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

constexpr qsizetype kZoneWidth = 14;

QString foldLineBreaks(QString s)
{
    s.replace(u"\r\n"_qs, u" "_qs);
    s.replace(u'\r', u' ');
    s.replace(u'\n', u' ');
    return s;
}

// The locale's long time without its time zone ("t" outside quoted text):
// a log line is read on the machine that wrote it.
QString timeFormatWithoutZone(const QLocale &locale)
{
    const QString fmt = locale.timeFormat(QLocale::LongFormat);
    QString kept;
    bool quoted = false;
    for (const QChar c : fmt) {
        if (c == u'\'')
            quoted = !quoted;
        if (quoted || c != u't')
            kept += c;
    }
    return kept.simplified();
}

} // namespace

// One write to a file opened for appending keeps the records (or lines) of
// two processes from interleaving. Only a regular file will do: opening a
// FIFO or a device could block or send the record anywhere, so the open does
// not wait and anything else counts as unwritable; nor is a symbolic link
// followed, which could point the text into any file the user may write
// (as root, any file at all). On a regular file O_NONBLOCK has no effect, so
// the write needs no change of flags. A write the disk took only part of is
// undone, under a lock that other appenders of the program take too, so
// that the file never holds a torn record.
bool appendToRegularFile(const QString &path, const QByteArray &record)
{
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(),
        O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW, 0644);
    if (fd < 0)
        return false;
    struct stat info { };
    int locked = -1;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        do {
            locked = ::flock(fd, LOCK_EX);
        } while (locked != 0 && errno == EINTR);
    }
    if (locked != 0) {
        ::close(fd);
        return false;
    }
    ssize_t written;
    do {
        written = ::write(fd, record.constData(), static_cast<size_t>(record.size()));
    } while (written < 0 && errno == EINTR);
    if (written > 0 && written < record.size()) {
        // Appending leaves the offset at the end of what was written.
        const off_t end = ::lseek(fd, 0, SEEK_CUR);
        if (end >= written) [[maybe_unused]]
            const int undone = ::ftruncate(fd, end - written);
    }
    ::close(fd);
    return written == record.size();
}

namespace {

// Where the last record went: a file, or standard error (empty).
std::optional<QString> lastPath;

QString installBinDir = QStringLiteral(TESMOR_INSTALL_BINDIR);

// Where records may go, in order: beside the program, unless it is
// installed or its directory unknown, then the per-user folder.
QStringList logCandidates()
{
    QStringList candidates;
    if (!ModPublic::AppPath.isEmpty() && !isInstallDirectory(ModPublic::AppPath))
        candidates << ModPublic::logPathInAppDir();
    candidates << stateDirectory() + u"/GenLogger.log"_qs;
    return candidates;
}

} // namespace

QString stateDirectory()
{
    QString base = qEnvironmentVariable("XDG_STATE_HOME");
    if (base.isEmpty())
        base = QDir::homePath() + u"/.local/state"_qs;
    return base + u"/tesmor"_qs;
}

QString makeStateDirectory()
{
    const QString dir = QDir::cleanPath(stateDirectory());
    // From the top down, so that each folder made gets the mode.
    qsizetype end = 0;
    do {
        end = dir.indexOf(u'/', end + 1);
        const QByteArray name = QFile::encodeName(end < 0 ? dir : dir.left(end));
        if (::mkdir(name.constData(), 0700) != 0 && errno != EEXIST)
            return QString::fromLocal8Bit(std::strerror(errno));
    } while (end >= 0);
    struct stat info { };
    if (::stat(QFile::encodeName(dir).constData(), &info) != 0)
        return QString::fromLocal8Bit(std::strerror(errno));
    return S_ISDIR(info.st_mode) ? QString() : u"%1 is not a folder"_qs.arg(dir);
}

bool isInstallDirectory(const QString &dir)
{
    // The program's own directory comes with links resolved.
    const QString path = QDir::cleanPath(dir);
    const QString canonicalBinDir = QFileInfo(installBinDir).canonicalFilePath();
    return path == u"/usr" || path.startsWith(u"/usr/") || path == QDir::cleanPath(installBinDir)
        || (!canonicalBinDir.isEmpty() && path == canonicalBinDir);
}

QString setInstallBinDir(const QString &dir)
{
    return std::exchange(installBinDir, dir);
}

bool isGoneAway(const Failure &f)
{
    return f.Number == kDriverFailure && f.Description == QStringView(kGoneAway);
}

bool isFatal(const Failure &f)
{
    return f.Fatal || isGoneAway(f);
}

Trap::Trap(QString owner, QString procedure)
    : m_owner(std::move(owner))
    , m_procedure(std::move(procedure))
{
}

QString Trap::location() const
{
    return m_owner + u'\t' + m_procedure;
}

void Trap::operator()(const Failure &f) const
{
    ModPublic::ErrLocation = location();
    WriteErrorLog(f);
}

QString formatLogRecord(
    const QDateTime &when, const Failure &f, const QString &location, const QLocale &locale)
{
    QString time = locale.toString(when.date(), QLocale::ShortFormat);
    const QTime t = when.time();
    if (t.hour() != 0 || t.minute() != 0 || t.second() != 0)
        time += u' ' + locale.toString(t, timeFormatWithoutZone(locale));

    const QString items[] = { time, QString::number(f.Number), f.Description, f.Source, location };
    QString line;
    for (const QString &item : items) {
        line += foldLineBreaks(item);
        line += QString(kZoneWidth - line.size() % kZoneWidth, u' ');
    }
    // The sixth item is empty.
    line += u"\r\n"_qs;
    return line;
}

QString logFilePath()
{
    return lastPath ? *lastPath : logCandidates().front();
}

void WriteErrorLog(const Failure &f)
{
    if (f.Number == 0 || f.Number == kInvalidCall)
        return;

    const QByteArray record
        = formatLogRecord(QDateTime::currentDateTime(), f, ModPublic::ErrLocation).toUtf8();

    bool written = false;
    for (const QString &path : logCandidates()) {
        if (path.startsWith(stateDirectory()))
            makeStateDirectory();
        if (appendToRegularFile(path, record)) {
            lastPath = path;
            written = true;
            break;
        }
    }
    if (!written) {
        lastPath = QString();
        std::fwrite(record.constData(), 1, static_cast<size_t>(record.size()), stderr);
        std::fflush(stderr);
    }

    if (isFatal(f)) {
        platform().showMessage(f.Description);
        platform().endProgram(EXIT_FAILURE);
    }
}
