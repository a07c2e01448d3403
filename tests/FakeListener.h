#pragma once

// A loopback port where something listens but does not speak MySQL, served
// from a thread of its own while the test's thread is blocked in a connect.
#include <QtGlobal>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

class FakeListener {
public:
    // Silent never accepts: the kernel completes the connection, nobody speaks.
    enum class Manner { Silent, Closes, WebServer };

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
            ::close(fd);
        }
    }

    int m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    quint16 m_port = 0;
    std::atomic<bool> m_stop = false;
    std::atomic<int> m_accepted = 0;
    std::thread m_thread;
};
