#include "db/LinkRate.h"

#include <QByteArray>
#include <QElapsedTimer>

#include <algorithm>
#include <limits>

#include <mysql.h>

namespace {

// A burst of statements this long crosses a 25 MB/s link in 10 ms, long
// enough to stand out from a round trip's jitter; on loopback it costs well
// under a millisecond.
constexpr qint64 kBurstBytes = 256 * 1024;
// A server whose statements are smaller than this (max_allowed_packet may be
// as low as 1 KiB) would need a burst too long to be worth it.
constexpr qint64 kLeastStatement = 16 * 1024;

// Compression lets a link carry three to six times more SQL text, for
// processor time at both ends: a core compresses SQL with zlib at about
// 100 MB/s and the server inflates it faster still, little next to what the
// server spends applying it. So it raises a dump's rate wherever the link,
// not the server, is what holds the dump back. A server applies a dump's
// INSERTs at some tens of MB/s: below 25 MB/s (200 Mbit/s) the link is the
// limit. Above, the server mostly is, and compression would only take
// processor time; on loopback, where both ends share the processors, it
// halves a dump's rate.
constexpr double kCompressBelowBytesPerSecond = 25e6;

// "DO 0" padded to bytes with a comment of letters and digits, so that it
// does nothing and its padding does not shrink on a link that compresses by
// itself.
QByteArray paddedStatement(qint64 bytes)
{
    static constexpr char kAlphabet[]
        = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+-";
    QByteArray s("DO 0 /*");
    s.reserve(bytes);
    quint32 x = 2463534242U;
    while (s.size() < bytes - 2) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        s += kAlphabet[x & 63U];
    }
    s += "*/";
    return s;
}

// Seconds from the first send to the last answer, the statements sent one
// after another without waiting; nothing when any failed. Every answer to a
// statement sent is read, so that the session stays in step whatever failed.
std::optional<double> burstSeconds(MYSQL *m, const QByteArray &statement, int count)
{
    QElapsedTimer clock;
    clock.start();
    int sent = 0;
    while (sent < count
        && mysql_send_query(m, statement.constData(), static_cast<unsigned long>(statement.size()))
            == 0)
        ++sent;
    bool failed = sent < count;
    for (int i = 0; i < sent; ++i)
        failed = mysql_read_query_result(m) != 0 || failed;
    if (failed)
        return std::nullopt;
    return static_cast<double>(clock.nsecsElapsed()) / 1e9;
}

// The least time over tries, which the machine's and the network's hiccups
// only ever lengthen.
std::optional<double> quickest(MYSQL *m, const QByteArray &statement, int count, int tries)
{
    double best = std::numeric_limits<double>::max();
    for (int i = 0; i < tries; ++i) {
        const std::optional<double> s = burstSeconds(m, statement, count);
        if (!s)
            return std::nullopt;
        best = std::min(best, *s);
    }
    return best;
}

} // namespace

std::optional<double> measureLinkRate(MYSQL *m, qint64 maxAllowedPacket)
{
    // The server takes at most max_allowed_packet - 2 bytes of text.
    const qint64 statementBytes = std::min(kBurstBytes, maxAllowedPacket - 2);
    if (statementBytes < kLeastStatement)
        return std::nullopt;
    const int count = static_cast<int>((kBurstBytes + statementBytes - 1) / statementBytes);

    const std::optional<double> roundTrip = quickest(m, QByteArrayLiteral("DO 0"), 1, 3);
    // The first burst also takes TCP past its slow start, which would make
    // any link look slow; the second crosses at the link's own rate.
    const std::optional<double> burst
        = roundTrip ? quickest(m, paddedStatement(statementBytes), count, 2) : std::nullopt;
    if (!burst)
        return std::nullopt;
    // A burst takes a round trip and the time its bytes take to cross; on
    // loopback the difference may be lost in the jitter.
    const double crossing = std::max(*burst - *roundTrip, 1e-6);
    return static_cast<double>(statementBytes * count) / crossing;
}

bool compressionPays(double bytesPerSecond)
{
    return bytesPerSecond < kCompressBelowBytesPerSecond;
}
