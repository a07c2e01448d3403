#include "db/FileScript.h"

#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

qint64 windowBytes = FileScript::kWindowBytes;

// The longest statement read whole: a QByteArray's limit, and more than any
// server's max_allowed_packet (1 GiB at most).
constexpr qint64 kLongestStatement = qint64(1) << 30;

// The first byte of data[0, n) that is not UTF-8 text or is a NUL; n when
// there is none. A character cut off at the end counts as text when more
// bytes follow.
qsizetype firstBadByte(const char *data, qsizetype n, bool more)
{
    // Most windows are text: Qt's check first, up to the last character,
    // which the window's end may cut off.
    qsizetype i = std::max<qsizetype>(n - 4, 0);
    while (i > 0 && (static_cast<unsigned char>(data[i]) & 0xC0) == 0x80)
        --i;
    if (!QByteArrayView(data, i).isValidUtf8() || std::memchr(data, 0, size_t(i)))
        i = 0;
    for (; i < n;) {
        const auto c = static_cast<unsigned char>(data[i]);
        if (c == 0)
            return i;
        if (c < 0x80) {
            ++i;
            continue;
        }
        const int length = c >= 0xF0 && c <= 0xF4 ? 4
            : c >= 0xE0                           ? 3
            : c >= 0xC2 && c < 0xE0               ? 2
                                                  : 0;
        if (length == 0 || (c >= 0xF5))
            return i;
        if (i + length > n)
            return more ? n : i;
        // The whole character, overlong forms and surrogates included, as
        // Qt judges it.
        if (!QByteArrayView(data + i, length).isValidUtf8())
            return i;
        i += length;
    }
    return n;
}

} // namespace

struct FileScript::File {
    QString path;
    int fd = -1;
    qint64 skip = 0; // a byte order mark
    qint64 size = 0; // of what counts, after the mark
    qint64 start = 0; // in the script
    bool lineBreakAfter = false; // put in before the next file
    struct stat seen { };
    ~File()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

void FileScript::setWindowBytes(qint64 bytes)
{
    windowBytes = bytes;
}

FileScript::FileScript(QStringList paths)
    : m_paths(std::move(paths))
    , m_window(windowBytes)
{
}

FileScript::~FileScript() = default;

bool FileScript::open()
{
    m_files.clear();
    for (const QString &path : m_paths) {
        auto file = std::make_unique<File>();
        file->path = path;
        file->fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
        if (file->fd < 0 || ::fstat(file->fd, &file->seen) != 0) {
            m_error = u"Could not read \"%1\": %2"_qs.arg(
                path, QString::fromLocal8Bit(std::strerror(errno)));
            return false;
        }
        char head[3] = {};
        const ssize_t got = ::pread(file->fd, head, sizeof head, 0);
        const QByteArrayView start(head, got > 0 ? got : 0);
        if (start.startsWith("\xFF\xFE") || start.startsWith("\xFE\xFF")) {
            m_error = u"\"%1\" is in UTF-16: a file this big runs from disk only in UTF-8. Convert "
                      "it (iconv -f UTF-16 -t UTF-8) and drop it again."_qs.arg(path);
            return false;
        }
        if (start.startsWith("\xEF\xBB\xBF"))
            file->skip = 3;
        file->size = file->seen.st_size - file->skip;
        file->start = m_size;
        char last = '\n';
        if (file->size > 0 && ::pread(file->fd, &last, 1, file->seen.st_size - 1) != 1)
            last = '\n';
        // As a drop into the box joins them: each file starts on a line of its own.
        file->lineBreakAfter = last != '\n' && last != '\r';
        m_files.push_back(std::move(file));
    }
    if (!m_files.empty())
        m_files.back()->lineBreakAfter = false;
    // Where each file starts, the line breaks put in between counted.
    qint64 at = 0;
    for (auto &f : m_files) {
        f->start = at;
        at += f->size + (f->lineBreakAfter ? 1 : 0);
    }
    m_size = at;
    return true;
}

qint64 FileScript::read(qint64 at, char *into, qint64 length)
{
    qint64 done = 0;
    for (const auto &f : m_files) {
        if (done == length)
            break;
        const qint64 end = f->start + f->size;
        while (done < length && at + done < end && at + done >= f->start) {
            const qint64 offset = at + done - f->start;
            const ssize_t got = ::pread(f->fd, into + done,
                static_cast<size_t>(std::min(length - done, end - at - done)), f->skip + offset);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                return done; // shrunk, or unreadable
            done += got;
        }
        if (done < length && f->lineBreakAfter && at + done == end)
            into[done++] = '\n';
    }
    return done;
}

bool FileScript::unchanged()
{
    for (const auto &f : m_files) {
        struct stat now { };
        if (::fstat(f->fd, &now) != 0 || now.st_size != f->seen.st_size
            || now.st_mtim.tv_sec != f->seen.st_mtim.tv_sec
            || now.st_mtim.tv_nsec != f->seen.st_mtim.tv_nsec) {
            m_stopped = u"\"%1\" changed while it ran"_qs.arg(f->path);
            return false;
        }
    }
    return true;
}

QString FileScript::stopAt(qint64 position, const CutPoint &from, const QString &why)
{
    // Lines counted from the last statement start known.
    int line = from.line;
    QByteArray piece(1 << 20, Qt::Uninitialized);
    for (qint64 at = from.position; at < position;) {
        // A byte more than is counted, to see what follows a CR.
        const qint64 counted = std::min<qint64>(piece.size() - 1, position - at);
        const qint64 got = read(at, piece.data(), counted + 1);
        if (got <= 0)
            break;
        line += SqlText::lineBreaks(piece.constData(), 0, std::min(got, counted), got);
        at += counted;
    }
    return u"%1: the run stopped at line %2, after the statements before it."_qs.arg(why).arg(line);
}

bool FileScript::load(const CutPoint &from)
{
    const qint64 length = std::min(m_window, m_size - from.position);
    QByteArray bytes(length, Qt::Uninitialized);
    const bool complete = read(from.position, bytes.data(), length) == length;
    if (!unchanged() || !complete) {
        if (m_stopped.isEmpty())
            m_stopped = u"A file could not be read on"_qs;
        m_stopped = stopAt(from.position, from, m_stopped);
        return false;
    }
    const bool more = from.position + length < m_size;
    const qsizetype bad = firstBadByte(bytes.constData(), bytes.size(), more);
    m_badAt = -1;
    if (bad < bytes.size()) {
        m_badAt = from.position + bad;
        bytes.truncate(bad);
    }
    m_windowStart = from;
    m_windowEnd = from.position + bytes.size();
    m_cutter = std::make_unique<ScriptCutter>(std::move(bytes), from, m_mode, !more && m_badAt < 0);
    return true;
}

bool FileScript::next(Statement *out)
{
    for (;;) {
        if (!m_stopped.isEmpty())
            return false;
        if (!m_cutter && !load(m_windowStart))
            return false;
        const CutPoint before = m_cutter->resumePoint();
        const bool got = m_cutter->next(out);
        // A statement that runs to the window's end may go on after it.
        if (m_cutter->position() < m_windowEnd || (m_windowEnd == m_size && m_badAt < 0))
            return got;
        if (m_badAt >= 0) {
            m_stopped = stopAt(m_badAt, before, u"Bytes that are not UTF-8 text, or a NUL"_qs);
            return false;
        }
        // Cut again from the statement's start, with the bytes after it.
        if (before.position == m_windowStart.position) {
            if (m_window >= kLongestStatement) {
                m_stopped = stopAt(before.position, before,
                    u"A statement longer than %1 bytes cannot run"_qs.arg(kLongestStatement));
                return false;
            }
            m_window *= 2;
        }
        m_cutter.reset();
        m_windowStart = before;
    }
}

QByteArrayView FileScript::text() const
{
    return m_cutter ? m_cutter->text() : QByteArrayView();
}

void FileScript::setMode(SqlText::Mode mode)
{
    m_mode = mode;
    if (m_cutter)
        m_cutter->setMode(mode);
}
