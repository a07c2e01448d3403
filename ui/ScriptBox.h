#pragma once

#include "ui/StatementMap.h"

#include <Qsci/qsciscintilla.h>

#include <QByteArray>
#include <QString>
#include <QTimer>

#include <optional>
#include <vector>

class QMimeData;

// The query window's script box: a Scintilla editor holding the script as
// UTF-8 bytes, exactly as typed, pasted or dropped. Enter inserts CR LF;
// pasted and dropped text keeps its own line ends and every character. Local
// .sql and .txt files dropped on it go in as their contents, not their names.
//
// It shows how the script will run, read as the cut that runs it reads it:
// code, literals, names, comments, executable comments' marks and DELIMITER
// lines in their colours (scripts under kColourLimit: the colours cost a
// byte a character), a mark beside each statement's first code line, and a
// sign on each ";" at a line end that does not end its statement, whose
// hover says why. Only what is in view is read, so typing in a script of
// any size stays quick. After a run the window marks failed statements, and
// those that gave warnings, over their text; any edit clears the marks.
class ScriptBox : public QsciScintilla {
    Q_OBJECT
public:
    enum class Mark { Failure, Warning };
    // The styles the text is coloured in.
    enum class Colour { Code, Literal, Name, Comment, Executable, Delimiter, Escape };
    // From this size on a script is held without colours, in a document
    // without styles; a paste that crosses it takes the box there (or back,
    // when it replaces the whole text), which ends what undo could undo.
    static constexpr qsizetype kColourLimit = 16 << 20;
    // The marker beside each statement's first code line, and the indicator
    // over a ";" that a blank or comment keeps from ending its statement.
    static constexpr int kStatementMarker = 2;
    static constexpr int kJoinIndicator = QsciScintillaBase::INDIC_CONTAINER + 2;

    explicit ScriptBox(QWidget *parent = nullptr);
    ~ScriptBox() override;

    // How the session reads literals, which the colours and marks follow; a
    // change of it inside the script is not foreseen.
    void setSqlMode(SqlText::Mode mode);
    bool isColoured() const { return m_coloured; }

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
    const char *bytesAt(qsizetype position, qsizetype length) const;
    void useDocument(bool coloured, bool keepText);
    void insertMimeText(const QMimeData *source);
    void dropFiles(const QStringList &files, QDropEvent *event);
    void dropText(QDropEvent *event);
    void tellChanges();
    void textChanging(int position, int modificationType, int length);
    void moveStatementMarks();
    void goToMark(bool forward);
    void setMarginShown(bool shown);
    void showDiskScript(const QStringList &files, qint64 bytes);
    void leaveDiskScript();
    void fitLineNumbers();
    QStringList noteLines(const QString &message, int style);

    // Colours and marks, for what is in view.
    void styleNeeded(qsizetype position);
    void colour(qsizetype from, qsizetype to);
    void scheduleView();
    void updateView(qsizetype budget);
    void clearStatementMarks();
    void showHover(int x, int y);

    StatementMap m_map;
    bool m_coloured = true;
    // Styled past where Scintilla's styling ends: what a jump far into the
    // script coloured without colouring all before it.
    qsizetype m_islandFrom = 0;
    qsizetype m_islandTo = 0;
    QTimer m_viewTimer; // marks for what is in view, once the events are in
    QTimer m_cutTimer; // cuts on in steps toward what is in view
    std::vector<long> m_statementLines; // lines carrying a statement mark
    // The last edit, for the marks to follow its lines once it is made.
    struct LineEdit {
        long line;
        bool atLineStart;
        long linesBefore;
    };
    std::optional<LineEdit> m_lineEdit;
    int m_lineDigits = 0;

    // A mark that shows its message, for the hover.
    struct Note {
        qsizetype from;
        qsizetype to;
        QString message;
    };
    std::vector<Note> m_notes;
    std::vector<qsizetype> m_markStarts; // sorted when F8 needs them
    bool m_markStartsSorted = true;
    QStringList m_diskFiles;
    // The last message broken into lines, which a run's many alike reuse.
    QString m_brokenMessage;
    int m_brokenStyle = -1;
    QStringList m_brokenLines;
};
