#pragma once

#include "db/ScriptCutter.h"

#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

// A script too big for the box, run from its files as one script (a line
// break between files that do not end with one), read a window at a time
// and cut as the runner asks, so that memory stays bounded whatever the
// files' size: the window, and a statement longer than it.
//
// Reading stops, with what came before run, at bytes that are not UTF-8 or
// at a NUL, and when a file changes or shrinks during the run; stopped()
// then names the line reached.
class FileScript final : public StatementSource {
public:
    explicit FileScript(QStringList paths);
    ~FileScript() override;
    FileScript(const FileScript &) = delete;
    FileScript &operator=(const FileScript &) = delete;

    // Opens every file; false, with error() saying why, when one cannot be
    // read or is UTF-16, which runs from disk only once converted to UTF-8.
    bool open();
    QString error() const { return m_error; }
    qint64 size() const { return m_size; } // all files together

    bool next(Statement *out) override;
    QByteArrayView text() const override;
    void setMode(SqlText::Mode mode) override;
    SqlText::Mode mode() const override { return m_mode; }
    QString stopped() const override { return m_stopped; }

    // Bytes read at a time; tests make it small.
    static constexpr qint64 kWindowBytes = 64 * 1024 * 1024;
    static void setWindowBytes(qint64 bytes = kWindowBytes);

private:
    struct File;
    bool load(const CutPoint &from);
    qint64 read(qint64 at, char *into, qint64 length);
    bool unchanged();
    QString stopAt(qint64 position, const CutPoint &from, const QString &why);

    QStringList m_paths;
    std::vector<std::unique_ptr<File>> m_files;
    qint64 m_size = 0;
    QString m_error;
    QString m_stopped;
    SqlText::Mode m_mode;
    std::unique_ptr<ScriptCutter> m_cutter;
    CutPoint m_windowStart;
    qint64 m_windowEnd = 0; // of the bytes the cutter holds
    qint64 m_badAt = -1; // the first byte that is not UTF-8 text, in the window
    qint64 m_window = 0;
};
