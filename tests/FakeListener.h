#pragma once

// A loopback port where something listens but does not speak MySQL, or sits
// in the middle of a connection to a server, served from a thread of its own
// while the test's thread is blocked in a connect.
#include <QtGlobal>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <utility>

class FakeListener {
public:
    // Silent never accepts: the kernel completes the connection, nobody speaks.
    // Forwards passes each connection, one at a time, to the port forwardTo
    // names, as someone in the middle would.
    enum class Manner { Silent, Closes, WebServer, Forwards };

    explicit FakeListener(Manner manner)
    {
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        auto *raw = reinterpret_cast<sockaddr *>(&address);
        if (::bind(m_fd, raw, size) == 0 && ::listen(m_fd, 8) == 0
            && ::getsockname(m_fd, raw, &size) == 0)
            m_port = ntohs(address.sin_port);
        if (m_port && manner != Manner::Silent)
            m_thread = std::thread([this, manner] { serve(manner); });
    }
    ~FakeListener()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        ::close(m_fd);
    }
    FakeListener(const FakeListener &) = delete;
    FakeListener &operator=(const FakeListener &) = delete;

    quint16 port() const { return m_port; } // 0 when it could not listen
    int accepted() const { return m_accepted; }

    // For connections from now on; stripTls clears the TLS bit in the
    // server's greeting, so that a client that falls back to clear text sends
    // everything in clear.
    void forwardTo(quint16 port, bool stripTls)
    {
        m_target = port;
        m_stripTls = stripTls;
    }
    // What the client of the latest connection sent through it (not what an
    // earlier one sent while closing).
    qint64 clientBytes() const { return m_clientBytes; }

private:
    void serve(Manner manner)
    {
        static const char reply[]
            = "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        pollfd waiting { m_fd, POLLIN, 0 };
        while (!m_stop) {
            const int fd = ::poll(&waiting, 1, 50) > 0 ? ::accept(m_fd, nullptr, nullptr) : -1;
            if (fd < 0)
                continue;
            ++m_accepted;
            if (manner == Manner::WebServer) [[maybe_unused]]
                const ssize_t sent = ::write(fd, reply, sizeof reply - 1);
            if (manner == Manner::Forwards)
                forward(fd);
            ::close(fd);
        }
    }

    void forward(int client)
    {
        m_clientBytes = 0;
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(m_target);
        const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        pollfd ends[2] = { { client, POLLIN, 0 }, { server, POLLIN, 0 } };
        char buffer[16384];
        bool greeted = false;
        bool open = ::connect(server, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
        while (open && !m_stop) {
            if (::poll(ends, 2, 50) <= 0)
                continue;
            for (int i = 0; i < 2 && open; ++i) {
                if (!ends[i].revents)
                    continue;
                const ssize_t got = ::read(ends[i].fd, buffer, sizeof buffer);
                // The greeting comes in one piece on loopback: a 4-byte header,
                // protocol version, server version and NUL, thread id (4),
                // scramble (8), filler (1), then the capability bits,
                // little-endian, CLIENT_SSL being 0x0800.
                if (i == 1 && got > 5 && !std::exchange(greeted, true) && m_stripTls) {
                    const size_t flags = 5 + ::strnlen(buffer + 5, size_t(got) - 5) + 1 + 13;
                    if (flags + 1 < size_t(got))
                        buffer[flags + 1] = char(buffer[flags + 1] & ~0x08);
                }
                if (i == 0 && got > 0)
                    m_clientBytes += got;
                open = got > 0 && ::write(ends[1 - i].fd, buffer, size_t(got)) == got;
            }
        }
        ::close(server);
    }

    int m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    quint16 m_port = 0;
    std::atomic<bool> m_stop = false;
    std::atomic<int> m_accepted = 0;
    std::atomic<quint16> m_target = 0;
    std::atomic<bool> m_stripTls = false;
    std::atomic<qint64> m_clientBytes = 0;
    std::thread m_thread;
};
