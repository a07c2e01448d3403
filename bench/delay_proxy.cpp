// A loopback TCP proxy that delays every chunk it reads by a fixed time in
// each direction, and may cap each direction's rate, so the benchmark can
// show how scripts run behind network latency and bandwidth.
//
//   delay_proxy LISTEN_PORT TARGET_HOST TARGET_PORT DELAY_MS [RATE_MBIT]
//
// LISTEN_PORT 0 picks a free port. Once listening it prints "listening on
// <port>" on standard output. It ends on end of input on standard input, on
// SIGTERM or SIGINT, or when its parent dies, so it never outlives the
// benchmark that started it.
//
// Each chunk is forwarded DELAY_MS after it was read, in order; chunks read
// close together leave close together, so a stream is delayed once, not once
// per chunk, as on a real link with that latency. Waking from a timer takes
// a while here (about 0.2 ms on this machine, a tenth of a 2 ms delay), so
// the proxy learns that wake-up time and sets its timer that much early:
// chunks then leave on time on average, a little early or late by the
// wake-up's jitter, instead of always late.
//
// With RATE_MBIT (megabits a second), each direction is a link of that rate:
// a chunk starts across once the chunks before it have, takes its size over
// the rate to cross, and leaves DELAY_MS after its last byte crossed, so
// bytes leave no faster than the rate, on top of the delay.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

using Nanos = std::int64_t;

Nanos now()
{
    timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return Nanos(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// Above this much unsent data in one direction the proxy stops reading that
// direction's source, so a fast sender meets back-pressure as on a real link.
// Far above what a 2 ms link carries at loopback speed, so it never limits the
// figures.
constexpr std::size_t kMaxQueued = 32 << 20;
constexpr std::size_t kReadSize = 256 << 10;
// With a rate, a chunk holds no more than a millisecond of the link's time,
// so that bytes leave in a steady stream rather than in bursts.
constexpr double kChunkSeconds = 1e-3;
constexpr std::size_t kMinChunk = 1460; // a packet's payload on Ethernet

struct Chunk {
    Nanos due = 0;
    std::string bytes; // empty: the source ended, shut the sink down
    std::size_t sent = 0;
};

// One direction of a proxied connection.
struct Direction {
    int from = -1;
    int to = -1;
    std::deque<Chunk> queue;
    std::size_t queued = 0;
    bool sourceEnded = false;
    bool hungUp = false; // the source socket is closed both ways: no longer watched
    std::uint32_t watching = EPOLLIN; // what epoll waits for on the source socket
    bool finished = false; // the end was passed on
    bool blocked = false; // a due chunk waits for the sink to take more
    Nanos linkFree = 0; // when the last chunk read will have crossed the link
};

struct Session {
    Direction up; // client to server
    Direction down; // server to client
    bool broken = false;
};

volatile sig_atomic_t stopRequested = 0;

void onSignal(int)
{
    stopRequested = 1;
}

bool setNonBlocking(int fd)
{
    const int flags = fcntl(fd, F_GETFL, 0);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

void setNoDelay(int fd)
{
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

class Proxy {
public:
    // A rate of 0 leaves the rate uncapped.
    Proxy(sockaddr_in target, Nanos delay, double bitsPerSecond)
        : m_target(target)
        , m_delay(delay)
        , m_nanosPerByte(bitsPerSecond > 0 ? 8e9 / bitsPerSecond : 0)
        , m_chunkBytes(bitsPerSecond > 0
                  ? std::clamp(static_cast<std::size_t>(bitsPerSecond / 8 * kChunkSeconds),
                      kMinChunk, kReadSize)
                  : kReadSize)
    {
    }

    bool start(unsigned short listenPort, unsigned short &boundPort);
    int run();
    void report() const;

private:
    void accept();
    void readFrom(Session &s, Direction &d);
    void flush(Session &s, Direction &d, Nanos horizon);
    void updateInterest(Session &s);
    void close(int key);
    void armTimer();
    void timerFired();

    sockaddr_in m_target;
    Nanos m_delay;
    double m_nanosPerByte; // the time a byte takes to cross, 0 when uncapped
    std::size_t m_chunkBytes;
    int m_epoll = -1;
    int m_listen = -1;
    int m_timer = -1;
    Nanos m_armedFor = 0; // when the timer is set to fire, 0 when disarmed
    Nanos m_wakeUp = 0; // how late the timer's wake-ups come, averaged
    Nanos m_lateness = 0; // summed over the chunks sent
    std::int64_t m_chunks = 0;
    // Keyed by the client socket; the epoll data of both sockets is that key.
    std::map<int, std::unique_ptr<Session>> m_sessions;
    std::map<int, int> m_keyOf; // socket to session key
    std::vector<char> m_buffer = std::vector<char>(kReadSize);
};

bool Proxy::start(unsigned short listenPort, unsigned short &boundPort)
{
    m_epoll = epoll_create1(EPOLL_CLOEXEC);
    m_timer = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    m_listen = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_epoll < 0 || m_timer < 0 || m_listen < 0)
        return false;
    const int on = 1;
    setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(listenPort);
    if (bind(m_listen, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0
        || listen(m_listen, 64) != 0)
        return false;
    socklen_t len = sizeof addr;
    getsockname(m_listen, reinterpret_cast<sockaddr *>(&addr), &len);
    boundPort = ntohs(addr.sin_port);

    epoll_event ev {};
    ev.events = EPOLLIN;
    ev.data.fd = m_listen;
    epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_listen, &ev);
    ev.data.fd = m_timer;
    epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_timer, &ev);
    ev.data.fd = STDIN_FILENO;
    // Standard input may be a file or /dev/null, which epoll refuses; then
    // only the signals end the proxy.
    epoll_ctl(m_epoll, EPOLL_CTL_ADD, STDIN_FILENO, &ev);
    return true;
}

void Proxy::accept()
{
    for (;;) {
        const int client = accept4(m_listen, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (client < 0)
            return;
        // Connecting over loopback completes at once, so a blocking connect
        // keeps this simple without stalling the other sessions.
        const int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (server < 0
            || connect(server, reinterpret_cast<const sockaddr *>(&m_target), sizeof m_target) != 0
            || !setNonBlocking(server)) {
            std::fprintf(
                stderr, "delay_proxy: cannot reach the target: %s\n", std::strerror(errno));
            if (server >= 0)
                ::close(server);
            ::close(client);
            continue;
        }
        setNoDelay(client);
        setNoDelay(server);
        auto s = std::make_unique<Session>();
        s->up.from = client;
        s->up.to = server;
        s->down.from = server;
        s->down.to = client;
        m_keyOf[client] = client;
        m_keyOf[server] = client;
        for (const int fd : { client, server }) {
            epoll_event ev {};
            ev.events = EPOLLIN;
            ev.data.fd = fd;
            epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &ev);
        }
        m_sessions[client] = std::move(s);
    }
}

void Proxy::readFrom(Session &s, Direction &d)
{
    while (!d.sourceEnded && d.queued < kMaxQueued) {
        const ssize_t n = ::read(d.from, m_buffer.data(), m_chunkBytes);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN)
                s.broken = true;
            return;
        }
        // Across the link once it is free, then the delay.
        d.linkFree = std::max(now(), d.linkFree) + static_cast<Nanos>(n * m_nanosPerByte);
        Chunk c;
        c.due = d.linkFree + m_delay;
        if (n == 0)
            d.sourceEnded = true;
        else
            c.bytes.assign(m_buffer.data(), static_cast<std::size_t>(n));
        d.queued += c.bytes.size();
        d.queue.push_back(std::move(c));
        if (n < static_cast<ssize_t>(m_chunkBytes))
            return;
    }
}

// Sends every chunk due by horizon, in order, as far as the sink takes it.
void Proxy::flush(Session &s, Direction &d, Nanos horizon)
{
    while (!d.queue.empty() && d.queue.front().due <= horizon) {
        Chunk &c = d.queue.front();
        if (c.sent == 0) {
            m_lateness += now() - c.due;
            ++m_chunks;
        }
        if (c.bytes.empty()) {
            shutdown(d.to, SHUT_WR);
            d.finished = true;
            d.queue.pop_front();
            continue;
        }
        const ssize_t n
            = ::send(d.to, c.bytes.data() + c.sent, c.bytes.size() - c.sent, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN)
                d.blocked = true;
            else
                s.broken = true;
            return;
        }
        d.blocked = false;
        c.sent += static_cast<std::size_t>(n);
        if (c.sent < c.bytes.size())
            return;
        d.queued -= c.bytes.size();
        d.queue.pop_front();
    }
}

// Reads a source while its queue has room and it has not ended; waits for a
// sink to take more while a due chunk is stuck in it.
void Proxy::updateInterest(Session &s)
{
    auto wants = [&](int fd) {
        std::uint32_t events = 0;
        for (const Direction *d : { &s.up, &s.down }) {
            if (d->from == fd && !d->sourceEnded && d->queued < kMaxQueued)
                events |= EPOLLIN;
            if (d->to == fd && d->blocked)
                events |= EPOLLOUT;
        }
        return events;
    };
    for (Direction *d : { &s.up, &s.down }) {
        const std::uint32_t events = wants(d->from);
        // Each change costs a system call on every chunk's way.
        if (d->hungUp || events == d->watching)
            continue;
        d->watching = events;
        epoll_event ev {};
        ev.events = events;
        ev.data.fd = d->from;
        epoll_ctl(m_epoll, EPOLL_CTL_MOD, d->from, &ev);
    }
}

void Proxy::close(int key)
{
    const auto it = m_sessions.find(key);
    if (it == m_sessions.end())
        return;
    for (const int fd : { it->second->up.from, it->second->down.from }) {
        epoll_ctl(m_epoll, EPOLL_CTL_DEL, fd, nullptr);
        m_keyOf.erase(fd);
        ::close(fd);
    }
    m_sessions.erase(it);
}

// The timer fires a wake-up time before the earliest queued chunk falls due
// (at once when that is past). A blocked chunk waits for its sink to take
// more (EPOLLOUT), not for the timer.
void Proxy::armTimer()
{
    Nanos earliest = 0;
    for (const auto &[key, s] : m_sessions) {
        for (const Direction *d : { &s->up, &s->down }) {
            if (d->queue.empty() || d->blocked)
                continue;
            if (earliest == 0 || d->queue.front().due < earliest)
                earliest = d->queue.front().due;
        }
    }
    // A time of 0 would disarm the timer.
    const Nanos at = earliest == 0 ? 0 : std::max<Nanos>(earliest - m_wakeUp, 1);
    if (at == m_armedFor)
        return;
    m_armedFor = at;
    itimerspec due {};
    if (at != 0) {
        due.it_value.tv_sec = at / 1'000'000'000;
        due.it_value.tv_nsec = at % 1'000'000'000;
    }
    // All zero disarms.
    timerfd_settime(m_timer, TFD_TIMER_ABSTIME, &due, nullptr);
}

void Proxy::timerFired()
{
    std::uint64_t expirations = 0;
    [[maybe_unused]] const ssize_t r = ::read(m_timer, &expirations, sizeof expirations);
    if (m_armedFor != 0) {
        // Never more than a quarter of the delay early, however slow a
        // wake-up once was.
        const Nanos late = std::min(std::max<Nanos>(now() - m_armedFor, 0), m_delay / 4);
        m_wakeUp += (late - m_wakeUp) / 4;
    }
    m_armedFor = 0;
}

// How well the delay was kept, said when the proxy ends.
void Proxy::report() const
{
    if (m_chunks > 0)
        std::fprintf(stderr,
            "delay_proxy: %lld chunks forwarded, on average %.0f us after their time\n",
            static_cast<long long>(m_chunks), static_cast<double>(m_lateness) / m_chunks / 1e3);
}

int Proxy::run()
{
    epoll_event events[64];
    while (!stopRequested) {
        const int n = epoll_wait(m_epoll, events, 64, -1);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return 1;
        }
        std::vector<int> touched;
        bool fired = false;
        for (int i = 0; i < n; ++i) {
            const int fd = events[i].data.fd;
            if (fd == STDIN_FILENO) {
                char buf[256];
                if (::read(STDIN_FILENO, buf, sizeof buf) <= 0)
                    return 0;
            } else if (fd == m_listen) {
                accept();
            } else if (fd == m_timer) {
                timerFired();
                fired = true;
            } else if (const auto k = m_keyOf.find(fd); k != m_keyOf.end()) {
                Session &s = *m_sessions[k->second];
                Direction &d = s.up.from == fd ? s.up : s.down;
                if (events[i].events & EPOLLERR)
                    s.broken = true;
                else if (events[i].events & (EPOLLIN | EPOLLHUP))
                    readFrom(s, d);
                // epoll keeps reporting a hang-up; what is queued still leaves
                // on time, driven by the timer and the other socket.
                if ((events[i].events & EPOLLHUP) && d.sourceEnded) {
                    d.hungUp = true;
                    epoll_ctl(m_epoll, EPOLL_CTL_DEL, fd, nullptr);
                }
                touched.push_back(k->second);
            }
        }
        if (fired) {
            for (const auto &[key, s] : m_sessions)
                touched.push_back(key);
        }
        for (const int key : touched) {
            const auto it = m_sessions.find(key);
            if (it == m_sessions.end())
                continue;
            Session &s = *it->second;
            const Nanos horizon = now() + m_wakeUp;
            flush(s, s.up, horizon);
            flush(s, s.down, horizon);
            if (s.broken || (s.up.finished && s.down.finished))
                close(key);
            else
                updateInterest(s);
        }
        armTimer();
    }
    return 0;
}

bool parsePort(const char *text, unsigned short &port)
{
    char *end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || v < 0 || v > 65535)
        return false;
    port = static_cast<unsigned short>(v);
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    unsigned short listenPort = 0;
    unsigned short targetPort = 0;
    char *end = nullptr;
    const bool arguments = argc == 5 || argc == 6;
    const double delayMs = arguments ? std::strtod(argv[4], &end) : -1;
    const bool delayRead = arguments && *end == '\0';
    const double rateMbit = argc == 6 ? std::strtod(argv[5], &end) : 0;
    if (!delayRead || !parsePort(argv[1], listenPort) || !parsePort(argv[3], targetPort)
        || targetPort == 0 || *end != '\0' || delayMs < 0 || delayMs > 60'000
        || (argc == 6 && !(rateMbit >= 0.01 && rateMbit <= 100'000))) {
        std::fprintf(stderr,
            "usage: delay_proxy LISTEN_PORT TARGET_HOST TARGET_PORT DELAY_MS [RATE_MBIT]\n"
            "  LISTEN_PORT 0 picks a free port; DELAY_MS from 0 to 60000; RATE_MBIT,\n"
            "  each direction's rate in megabits a second, from 0.01 to 100000\n");
        return 2;
    }

    addrinfo hints {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (getaddrinfo(argv[2], nullptr, &hints, &found) != 0 || !found) {
        std::fprintf(stderr, "delay_proxy: unknown host %s\n", argv[2]);
        return 2;
    }
    sockaddr_in target = *reinterpret_cast<sockaddr_in *>(found->ai_addr);
    freeaddrinfo(found);
    // Only ever between processes on this machine.
    if ((ntohl(target.sin_addr.s_addr) >> 24) != 127) {
        std::fprintf(stderr, "delay_proxy: %s is not a loopback address\n", argv[2]);
        return 2;
    }
    target.sin_port = htons(targetPort);

    prctl(PR_SET_PDEATHSIG, SIGTERM);
    // The default slack of 50 us would be added to every delayed chunk.
    prctl(PR_SET_TIMERSLACK, 1UL);
    struct sigaction sa { };
    sa.sa_handler = onSignal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    // The parent may already have gone before the death signal was set up.
    if (getppid() == 1)
        return 0;

    Proxy proxy(target, static_cast<Nanos>(delayMs * 1e6), rateMbit * 1e6);
    unsigned short bound = 0;
    if (!proxy.start(listenPort, bound)) {
        std::fprintf(stderr, "delay_proxy: cannot listen on port %u: %s\n", listenPort,
            std::strerror(errno));
        return 1;
    }
    std::printf("listening on %u\n", bound);
    std::fflush(stdout);
    const int status = proxy.run();
    proxy.report();
    return status;
}
