#include "db/PeerWatch.h"

#include <algorithm>
#include <chrono>

#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

bool PeerSilence::peerGone(bool owed, qint64 silentMs, qint64 nowMs)
{
    if (!owed) {
        m_owedSinceMs = -1;
        return false;
    }
    if (m_owedSinceMs < 0)
        m_owedSinceMs = nowMs;
    return nowMs - m_owedSinceMs >= m_unansweredMs && silentMs >= m_silenceMs;
}

PeerWatch::PeerWatch(int socket, qint64 silenceMs, qint64 unansweredMs)
    : m_ownerSocket(socket)
    , m_socket(::fcntl(socket, F_DUPFD_CLOEXEC, 0))
{
    struct stat info { };
    if (m_socket >= 0 && ::fstat(m_socket, &info) != 0) {
        ::close(m_socket);
        m_socket = -1;
    }
    if (m_socket < 0)
        return;
    m_device = info.st_dev;
    m_inode = info.st_ino;
    // A few looks per unanswered time, so that the verdict comes close to it.
    const qint64 pollMs = std::clamp<qint64>(unansweredMs / 4, 50, 1000);
    m_thread = std::thread(
        [this, silence = PeerSilence(silenceMs, unansweredMs), pollMs] { watch(silence, pollMs); });
}

PeerWatch::~PeerWatch()
{
    {
        const std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
    if (m_socket >= 0)
        ::close(m_socket);
}

qint64 PeerWatch::unsentBytes() const
{
    const std::lock_guard lock(m_mutex);
    int unsent = 0;
    return m_socket >= 0 && ::ioctl(m_socket, SIOCOUTQNSD, &unsent) == 0 ? unsent : 0;
}

bool PeerWatch::ownerHolds() const
{
    struct stat info { };
    return ::fstat(m_ownerSocket, &info) == 0 && info.st_dev == m_device && info.st_ino == m_inode;
}

void PeerWatch::watch(PeerSilence silence, qint64 pollMs)
{
    const auto start = std::chrono::steady_clock::now();
    std::unique_lock lock(m_mutex);
    while (!m_wake.wait_for(lock, std::chrono::milliseconds(pollMs), [this] { return m_stop; })) {
        tcp_info info {};
        socklen_t length = sizeof info;
        // A copy kept after the owner closed the socket would keep the
        // connection up.
        if (!ownerHolds()) {
            ::close(m_socket);
            m_socket = -1;
            return;
        }
        // Once the kernel or the server has ended the connection, the
        // thread using it learns so by itself.
        if (::getsockopt(m_socket, IPPROTO_TCP, TCP_INFO, &info, &length) != 0
            || info.tcpi_state != TCP_ESTABLISHED)
            return;
        const qint64 nowMs = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - start)
                                 .count();
        const bool owed = info.tcpi_unacked > 0 || info.tcpi_probes > 0;
        if (silence.peerGone(owed, info.tcpi_last_ack_recv, nowMs)) {
            ::shutdown(m_socket, SHUT_RDWR);
            return;
        }
    }
}
