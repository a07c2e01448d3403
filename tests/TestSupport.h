#pragma once

#include "core/ErrorTrap.h"
#include "core/ModPublic.h"
#include "core/Platform.h"

#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include <optional>

// Records what core and db ask of the desktop instead of doing it.
class RecordingPlatform : public Platform {
public:
    QStringList messages;
    QList<Window> shown;
    int endRequests = 0;
    int exitStatus = -1; // of the last end request

    void showMessage(const QString &text) override { messages << text; }
    void showWindow(Window w) override { shown << w; }
    void endProgram(int status) override
    {
        ++endRequests;
        exitStatus = status;
    }
};

// The server that scripts/test starts, from the environment.
struct TestServer {
    QString host = qEnvironmentVariable("TESMOR_TEST_HOST");
    QString port = qEnvironmentVariable("TESMOR_TEST_PORT");
    QString database = qEnvironmentVariable("TESMOR_TEST_DB", u"TESMOR_TEST"_qs);
    bool available() const { return !host.isEmpty() && !port.isEmpty(); }
};

// Puts the server's details in the shared state, as the Server Details
// window would, and connects.
inline bool connectShared(const TestServer &server, const QString &host = QString())
{
    ModPublic::ServerName = host.isEmpty() ? server.host : host;
    ModPublic::Port = server.port;
    ModPublic::DBName = server.database;
    return ModPublic::MakeConnection();
}

// Tests against the server fail in CI when it is missing and skip elsewhere.
#define REQUIRE_SERVER(server)                                                                     \
    do {                                                                                           \
        if (!(server).available()) {                                                               \
            if (qEnvironmentVariableIsSet("CI"))                                                   \
                QFAIL(                                                                             \
                    "TESMOR_TEST_HOST/TESMOR_TEST_PORT not set: run the tests with scripts/test"); \
            QSKIP("no test server: run the tests with scripts/test");                              \
        }                                                                                          \
    } while (false)

// Fails the test with the server's message when an operation failed.
#define VERIFY_OK(outcome)                                                                         \
    do {                                                                                           \
        const Outcome verifyOk_ = (outcome);                                                       \
        if (verifyOk_)                                                                             \
            QFAIL(qPrintable(u"%1: %2 [%3]"_qs.arg(                                                \
                QString::fromLatin1(#outcome), verifyOk_->Description, verifyOk_->Source)));       \
    } while (false)

inline QStringList readLogLines(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QStringList lines = QString::fromUtf8(f.readAll()).split(u"\r\n"_qs);
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

// The reason line of a failed connect's message (the two fixed lines, why,
// and where it is logged), or nothing when the message is not shaped so.
inline std::optional<QString> connectFailureReason(const QString &message, const QString &logPath)
{
    const QStringList lines = message.split(u"\r\n"_qs);
    if (lines.size() != 4 || lines[0] != u"Could not connect to database"
        || lines[1] != u"Please check server details"
        || lines[3] != u"Logged in %1."_qs.arg(logPath))
        return std::nullopt;
    return lines[2];
}

// Fresh shared state, with the log beside a temporary "program directory".
inline void resetSharedState(const QTemporaryDir &appDir)
{
    ModPublic::AppPath = appDir.path() + u'/';
    ModPublic::Cnn.reset();
    ModPublic::ServerName.clear();
    ModPublic::DBName.clear();
    ModPublic::UserName.clear();
    ModPublic::Password.clear();
    ModPublic::Port.clear();
    ModPublic::ErrLocation.clear();
}
