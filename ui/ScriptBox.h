#pragma once

#include <Qsci/qsciscintilla.h>

#include <QByteArray>
#include <QString>

#include <optional>
#include <vector>

class QMimeData;

// The query window's script box: a Scintilla editor holding the script as
// UTF-8 bytes, exactly as typed, pasted or dropped. Enter inserts CR LF;
// pasted and dropped text keeps its own line ends and every character. Local
// .sql and .txt files dropped on it go in as their contents, not their names.
// After a run the window marks failed statements, and those that gave
// warnings, over their text; any edit clears the marks.
class ScriptBox : public QsciScintilla {
    Q_OBJECT
public:
    enum class Mark { Failure, Warning };

    explicit ScriptBox(QWidget *parent = nullptr);
    ~ScriptBox() override;

    // The script's UTF-8 bytes exactly: one copy of the document.
    QByteArray scriptBytes() const;
    // True when the script is empty or spaces only, on one line: any line
    // break is text.
    bool isBlank() const;

    // Caret at a byte offset into scriptBytes() (clamped to the text), in
    // view, and the focus to the box.
    void showPosition(qsizetype bytePosition);
    // The same at the start of a 1-based line as the box shows lines (CR LF,
    // CR and LF each end one); nothing when there is no such line.
    void showLine(int line);

    // Marks the bytes [from, to) of scriptBytes() as a failed statement or as
    // one that gave warnings, with a sign beside its first line and message
    // under that line. Only the first kMarksWithText marks show their
    // message; every mark is drawn and reached by F8.
    void addMark(qsizetype from, qsizetype to, Mark kind, const QString &message);
    void clearMarks();
    qsizetype markCount() const { return qsizetype(m_markStarts.size()); }
    static constexpr qsizetype kMarksWithText = 1000;

    // Replaces the selection by bytes, exactly (any NUL, any line ends).
    void replaceSelectionBytes(QByteArrayView bytes);
    // Pastes the clipboard's text exactly: Scintilla's own paste would turn
    // every line end into CR LF.
    void paste() override;

    // Dropped files of this size or more, all together, are not read into
    // the box but run from disk: the box holds a script at two to three and
    // a half times its size, and cannot hold 2 GB at all.
    static constexpr qint64 kDiskThreshold = qint64(96) << 20;
    static void setDiskThreshold(qint64 bytes = kDiskThreshold);
    // The files OK runs from disk, in order; empty when the box holds the
    // script. The box then shows the first lines, read-only; an edit, a
    // paste or a drop gives back an ordinary, empty box.
    QStringList diskScript() const { return m_diskFiles; }

    // A script file's text as UTF-8: UTF-8 with or without a byte order mark
    // (taken off), or UTF-16 with one. Nothing when the bytes are not text in
    // those; a NUL character counts as not text, as no script file holds one.
    static std::optional<QByteArray> decodeScript(QByteArray bytes);

protected:
    bool canInsertFromMimeData(const QMimeData *source) const override;
    void dropEvent(QDropEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    bool focusNextPrevChild(bool next) override;

private:
    long sci(unsigned int message, unsigned long wParam = 0, long lParam = 0) const
    {
        return SendScintilla(message, wParam, lParam);
    }
    void insertMimeText(const QMimeData *source);
    void dropFiles(const QStringList &files, QDropEvent *event);
    void dropText(QDropEvent *event);
    void textChanged(int modificationType);
    void goToMark(bool forward);
    void setMarginShown(bool shown);
    void showDiskScript(const QStringList &files, qint64 bytes);
    void leaveDiskScript();

    std::vector<qsizetype> m_markStarts; // sorted when F8 needs them
    bool m_markStartsSorted = true;
    QStringList m_diskFiles;
};
