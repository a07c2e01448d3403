#pragma once

#include <QtGlobal>

#include <condition_variable>
#include <mutex>
#include <thread>

// Tells a peer that stopped answering from one that only takes its time,
// from what TCP says of the connection at intervals: the peer is gone once it
// has owed an answer (an acknowledgement of data sent, or of a probe) for
// `unansweredMs` and acknowledged nothing for `silenceMs`.
class PeerSilence {
public:
    PeerSilence(qint64 silenceMs, qint64 unansweredMs)
        : m_silenceMs(silenceMs)
        , m_unansweredMs(unansweredMs)
    {
    }
    // owed: data or a probe unacknowledged; silentMs: since the last
    // acknowledgement; nowMs: a steady clock.
    bool peerGone(bool owed, qint64 silentMs, qint64 nowMs);

private:
    qint64 m_silenceMs;
    qint64 m_unansweredMs;
    qint64 m_owedSinceMs = -1;
};

// Watches a TCP connection from a thread of its own, since the thread using
// it may be blocked in a send or a read, and shuts the socket down once the
// peer is gone (PeerSilence), which ends that send or read. It works on a
// duplicate of the socket, so the owner may close its own at any time, and
// lets go of it once the owner has.
class PeerWatch {
public:
    PeerWatch(int socket, qint64 silenceMs, qint64 unansweredMs);
    ~PeerWatch();
    PeerWatch(const PeerWatch &) = delete;
    PeerWatch &operator=(const PeerWatch &) = delete;

    // The bytes written to the socket that have not left it yet; 0 when
    // that cannot be read.
    qint64 unsentBytes() const;

private:
    void watch(PeerSilence silence, qint64 pollMs);
    // Whether the owner's descriptor is still the socket watched.
    bool ownerHolds() const;

    const int m_ownerSocket;
    int m_socket;
    quint64 m_device = 0;
    quint64 m_inode = 0;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stop = false;
    std::thread m_thread;
};
