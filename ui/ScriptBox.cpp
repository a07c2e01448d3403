#include "ui/ScriptBox.h"

#include "core/Platform.h"
#include "db/FileScript.h"

#include <QClipboard>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLocale>
#include <QMimeData>
#include <QMouseEvent>
#include <QStringDecoder>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace {

// Indicators from the range Scintilla leaves to its users.
constexpr int kFailureIndicator = QsciScintillaBase::INDIC_CONTAINER;
constexpr int kWarningIndicator = QsciScintillaBase::INDIC_CONTAINER + 1;
// Markers are drawn in number order: a failure's sign covers a warning's.
constexpr int kWarningMarker = 0;
constexpr int kFailureMarker = 1;
constexpr int kMarkMargin = 1;
constexpr int kMarkMarginWidth = 14;
// The text is never styled (its document keeps no styles), so every style
// but the default one is free for the messages.
constexpr int kFailureNoteStyle = 1;
constexpr int kWarningNoteStyle = 2;

// From this size on an insert is not recorded for undo: the history would
// hold a second copy of a dump. Such an insert, and every edit before it,
// cannot be undone. The document is then sized for it and this much more, so
// that reading it out or the next edits do not make it grow, which holds the
// old and the new buffer at once.
constexpr qsizetype kBigInsert = 1 << 20;

const QColor kFailureColour(200, 0, 0);
const QColor kFailureNoteFore(150, 0, 0);
const QColor kFailureNoteBack(253, 232, 232);
const QColor kWarningColour(200, 130, 0);
const QColor kWarningNoteFore(120, 75, 0);
const QColor kWarningNoteBack(255, 245, 214);

const QString kUtf8Text = u"text/plain;charset=utf-8"_qs;

// The dropped files, when every one is a local .sql or .txt file.
QStringList scriptFiles(const QMimeData *source)
{
    QStringList files;
    if (!source || !source->hasUrls())
        return files;
    for (const QUrl &url : source->urls()) {
        const QString suffix = QFileInfo(url.toLocalFile()).suffix().toLower();
        if (!url.isLocalFile() || (suffix != u"sql" && suffix != u"txt"))
            return {};
        files << url.toLocalFile();
    }
    return files;
}

// The text of mime data as UTF-8: the bytes themselves when they come as
// UTF-8, so that nothing passes through UTF-16 and back. Nothing when the
// text offered is not UTF-8: decoded, its bad bytes would silently become
// U+FFFD.
std::optional<QByteArray> mimeText(const QMimeData *source)
{
    if (!source)
        return QByteArray();
    for (const QString &format : { kUtf8Text, u"text/plain"_qs }) {
        if (!source->hasFormat(format))
            continue;
        QByteArray bytes = source->data(format);
        if (!QByteArrayView(bytes).isValidUtf8())
            return std::nullopt;
        return bytes;
    }
    return source->hasText() ? source->text().toUtf8() : QByteArray();
}

const QString kNotUtf8 = u"The text is not valid UTF-8: nothing was inserted."_qs;

} // namespace

namespace {
qint64 diskThreshold = ScriptBox::kDiskThreshold;
// As much of a file as the box shows of it when it runs from disk.
constexpr qint64 kPreviewBytes = 64 * 1024;
} // namespace

void ScriptBox::setDiskThreshold(qint64 bytes)
{
    diskThreshold = bytes;
}

void ScriptBox::showDiskScript(const QStringList &files, qint64 bytes)
{
    leaveDiskScript();
    setReadOnly(false);
    sci(SCI_CLEARALL);
    QFile first(files.front());
    QByteArray preview;
    if (first.open(QIODevice::ReadOnly))
        preview = first.read(kPreviewBytes);
    if (preview.size() == kPreviewBytes)
        preview.truncate(std::max(preview.lastIndexOf('\n') + 1, qsizetype(0)));
    if (const std::optional<QByteArray> text = decodeScript(preview))
        replaceSelectionBytes(*text);
    sci(SCI_EMPTYUNDOBUFFER);
    sci(SCI_GOTOPOS, 0);
    m_diskFiles = files;
    setReadOnly(true);
    const QLocale english(QLocale::English, QLocale::UnitedStates);
    const QString what = files.size() == 1 ? u"\"%1\""_qs.arg(QFileInfo(files.front()).fileName())
                                           : u"%1 files, from \"%2\" on,"_qs.arg(files.size())
                                                 .arg(QFileInfo(files.front()).fileName());
    const QByteArray note
        = u"OK runs %1 from disk: %2 bytes, too big for the box. Its first lines show here; "
          "typing, a paste or a drop empties the box."_qs.arg(what, english.toString(bytes))
              .toUtf8();
    SendScintilla(SCI_ANNOTATIONSETTEXT, 0UL, note.constData());
    sci(SCI_ANNOTATIONSETSTYLE, 0, kWarningNoteStyle);
}

void ScriptBox::leaveDiskScript()
{
    if (m_diskFiles.isEmpty())
        return;
    m_diskFiles.clear();
    setReadOnly(false);
    sci(SCI_CLEARALL);
    sci(SCI_EMPTYUNDOBUFFER);
    sci(SCI_ANNOTATIONCLEARALL);
}

ScriptBox::ScriptBox(QWidget *parent)
    : QsciScintilla(parent)
{
    // A document without style bytes (there is no colouring), so that a
    // script costs its size once. The widget holds its own reference.
    const auto document
        = reinterpret_cast<void *>(sci(SCI_CREATEDOCUMENT, 0, SC_DOCUMENTOPTION_STYLES_NONE));
    SendScintilla(SCI_SETDOCPOINTER, 0, document);
    SendScintilla(SCI_RELEASEDOCUMENT, 0, document);
    sci(SCI_SETCODEPAGE, SC_CP_UTF8);
    // Enter inserts CR LF; pasted text keeps its own line ends (paste()).
    sci(SCI_SETEOLMODE, SC_EOL_CRLF);

    // The window's font (QsciScintilla starts from the application's) and
    // background, for the text and whatever else the editor draws.
    const QFont font = parent ? parent->font() : QsciScintilla::font();
    const QByteArray family = font.family().toUtf8();
    SendScintilla(SCI_STYLESETFONT, STYLE_DEFAULT, family.constData());
    sci(SCI_STYLESETSIZEFRACTIONAL, STYLE_DEFAULT,
        long(std::lround(font.pointSizeF() * int(SC_FONT_SIZE_MULTIPLIER))));
    SendScintilla(SCI_STYLESETFORE, STYLE_DEFAULT, palette().color(QPalette::Text));
    SendScintilla(SCI_STYLESETBACK, STYLE_DEFAULT, palette().color(QPalette::Base));
    sci(SCI_STYLECLEARALL);
    setFont(font);
    setColor(palette().color(QPalette::Text));
    setPaper(palette().color(QPalette::Base));

    setWrapMode(WrapNone);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // Scintilla measures every character of a line it shows: a line of a
    // few megabytes takes seconds. Keeping the layouts of the lines in view,
    // not only the caret's, pays that once, not at every repaint.
    sci(SCI_SETLAYOUTCACHE, SC_CACHE_PAGE);
    // The horizontal range follows the longest line shown, as in a text box.
    sci(SCI_SETSCROLLWIDTH, 1);
    sci(SCI_SETSCROLLWIDTHTRACKING, 1);
    for (int margin = 0; margin < 5; ++margin)
        sci(SCI_SETMARGINWIDTHN, margin, 0);

    // A failure: a red squiggle under its text, a red sign beside its first
    // line. A warning: dots and a sign in amber.
    sci(SCI_INDICSETSTYLE, kFailureIndicator, INDIC_SQUIGGLE);
    SendScintilla(SCI_INDICSETFORE, kFailureIndicator, kFailureColour);
    sci(SCI_INDICSETSTYLE, kWarningIndicator, INDIC_DOTS);
    SendScintilla(SCI_INDICSETFORE, kWarningIndicator, kWarningColour);
    sci(SCI_SETMARGINTYPEN, kMarkMargin, SC_MARGIN_BACK);
    sci(SCI_SETMARGINMASKN, kMarkMargin, (1 << kFailureMarker) | (1 << kWarningMarker));
    const std::pair<int, QColor> markers[]
        = { { kFailureMarker, kFailureColour }, { kWarningMarker, kWarningColour } };
    for (const auto &[marker, colour] : markers) {
        sci(SCI_MARKERDEFINE, marker, SC_MARK_CIRCLE);
        SendScintilla(SCI_MARKERSETFORE, marker, colour);
        SendScintilla(SCI_MARKERSETBACK, marker, colour);
    }
    // A message under its statement's first line, in italics on a tint, so
    // that it does not read as part of the script.
    const struct {
        int style;
        QColor fore;
        QColor back;
    } notes[] = { { kFailureNoteStyle, kFailureNoteFore, kFailureNoteBack },
        { kWarningNoteStyle, kWarningNoteFore, kWarningNoteBack } };
    for (const auto &note : notes) {
        SendScintilla(SCI_STYLESETFORE, note.style, note.fore);
        SendScintilla(SCI_STYLESETBACK, note.style, note.back);
        sci(SCI_STYLESETITALIC, note.style, 1);
    }
    sci(SCI_ANNOTATIONSETVISIBLE, ANNOTATION_STANDARD);

    connect(this, &QsciScintillaBase::SCN_MODIFIED, this,
        [this](int, int modificationType) { textChanged(modificationType); });
}

ScriptBox::~ScriptBox() = default;

QByteArray ScriptBox::scriptBytes() const
{
    // The character pointer closes the editor's gap, so the text is one
    // piece: one copy, no conversion.
    const auto length = qsizetype(sci(SCI_GETLENGTH));
    const auto *text = static_cast<const char *>(SendScintillaPtrResult(SCI_GETCHARACTERPOINTER));
    return QByteArray(text, length);
}

bool ScriptBox::isBlank() const
{
    if (!m_diskFiles.isEmpty())
        return false;
    if (sci(SCI_GETLINECOUNT) != 1)
        return false;
    const auto length = qsizetype(sci(SCI_GETLENGTH));
    const auto *text = static_cast<const char *>(SendScintillaPtrResult(SCI_GETCHARACTERPOINTER));
    return std::all_of(text, text + length, [](char c) { return c == ' '; });
}

void ScriptBox::showPosition(qsizetype bytePosition)
{
    const auto length = qsizetype(sci(SCI_GETLENGTH));
    auto position = std::clamp(bytePosition, qsizetype(0), length);
    // Inside a character's bytes, the caret goes before it.
    if (position < length)
        position = sci(SCI_POSITIONBEFORE, sci(SCI_POSITIONAFTER, position));
    sci(SCI_GOTOPOS, position);
    sci(SCI_SCROLLCARET);
    setFocus();
}

void ScriptBox::showLine(int line)
{
    if (line < 1 || line > sci(SCI_GETLINECOUNT))
        return;
    showPosition(sci(SCI_POSITIONFROMLINE, line - 1));
}

void ScriptBox::addMark(qsizetype from, qsizetype to, Mark kind, const QString &message)
{
    const auto length = qsizetype(sci(SCI_GETLENGTH));
    from = std::clamp(from, qsizetype(0), length);
    to = std::clamp(to, from, length);
    const bool failure = kind == Mark::Failure;
    if (m_markStarts.empty())
        setMarginShown(true);
    sci(SCI_SETINDICATORCURRENT, failure ? kFailureIndicator : kWarningIndicator);
    sci(SCI_INDICATORFILLRANGE, from, to - from);
    const long line = sci(SCI_LINEFROMPOSITION, from);
    sci(SCI_MARKERADD, line, failure ? kFailureMarker : kWarningMarker);
    if (markCount() < kMarksWithText && !message.isEmpty()) {
        // Two statements on one line share its note, a failure's colour first.
        QByteArray note(int(sci(SCI_ANNOTATIONGETTEXT, line)), Qt::Uninitialized);
        SendScintilla(SCI_ANNOTATIONGETTEXT, line, note.data());
        const bool hadFailure = sci(SCI_ANNOTATIONGETSTYLE, line) == kFailureNoteStyle;
        if (!note.isEmpty())
            note += '\n';
        note += message.toUtf8();
        SendScintilla(SCI_ANNOTATIONSETTEXT, line, note.constData());
        sci(SCI_ANNOTATIONSETSTYLE, line,
            failure || hadFailure ? kFailureNoteStyle : kWarningNoteStyle);
    }
    m_markStartsSorted
        = m_markStartsSorted && (m_markStarts.empty() || m_markStarts.back() <= from);
    m_markStarts.push_back(from);
}

void ScriptBox::clearMarks()
{
    if (m_markStarts.empty())
        return;
    const long length = sci(SCI_GETLENGTH);
    for (const int indicator : { kFailureIndicator, kWarningIndicator }) {
        sci(SCI_SETINDICATORCURRENT, indicator);
        sci(SCI_INDICATORCLEARRANGE, 0, length);
    }
    sci(SCI_MARKERDELETEALL, static_cast<unsigned long>(-1));
    sci(SCI_ANNOTATIONCLEARALL);
    m_markStarts.clear();
    m_markStartsSorted = true;
    setMarginShown(false);
}

void ScriptBox::setMarginShown(bool shown)
{
    sci(SCI_SETMARGINWIDTHN, kMarkMargin, shown ? kMarkMarginWidth : 0);
}

void ScriptBox::textChanged(int modificationType)
{
    if ((modificationType & (SC_MOD_INSERTTEXT | SC_MOD_DELETETEXT)) != 0)
        clearMarks();
}

void ScriptBox::goToMark(bool forward)
{
    if (m_markStarts.empty())
        return;
    if (!m_markStartsSorted) {
        std::sort(m_markStarts.begin(), m_markStarts.end());
        m_markStartsSorted = true;
    }
    const qsizetype caret = sci(SCI_GETCURRENTPOS);
    // Round the ends: past the last mark F8 goes back to the first.
    qsizetype target;
    if (forward) {
        const auto next = std::upper_bound(m_markStarts.cbegin(), m_markStarts.cend(), caret);
        target = next == m_markStarts.cend() ? m_markStarts.front() : *next;
    } else {
        const auto next = std::lower_bound(m_markStarts.cbegin(), m_markStarts.cend(), caret);
        target = next == m_markStarts.cbegin() ? m_markStarts.back() : *std::prev(next);
    }
    showPosition(target);
}

void ScriptBox::replaceSelectionBytes(QByteArrayView bytes)
{
    // The editor counts positions in int: past that it breaks.
    if (qint64(sci(SCI_GETLENGTH)) + bytes.size()
        >= qint64(std::numeric_limits<int>::max()) - kBigInsert) {
        QTimer::singleShot(0, this, [] {
            platform().showMessage(
                u"The text is too big for the box, which holds less than 2 GB: "
                "nothing was inserted. Drop it as a .sql file to run it from disk."_qs);
        });
        return;
    }
    const bool big = bytes.size() >= kBigInsert;
    const long eventMask = sci(SCI_GETMODEVENTMASK);
    if (big) {
        // Not told as a change (a notification carries any of its flags):
        // QScintilla's accessibility would copy the text into a string of
        // twice its size.
        clearMarks();
        sci(SCI_SETMODEVENTMASK, 0);
        sci(SCI_SETUNDOCOLLECTION, 0);
    }
    sci(SCI_BEGINUNDOACTION);
    if (!sci(SCI_GETSELECTIONEMPTY))
        SendScintilla(SCI_REPLACESEL, uintptr_t(0), "");
    if (big)
        sci(SCI_ALLOCATE, sci(SCI_GETLENGTH) + bytes.size() + kBigInsert);
    // Scintilla's own paste and replace take text up to a NUL; this takes
    // the length.
    SendScintilla(SCI_ADDTEXT, uintptr_t(bytes.size()), bytes.data());
    sci(SCI_ENDUNDOACTION);
    if (big) {
        sci(SCI_SETUNDOCOLLECTION, 1);
        sci(SCI_EMPTYUNDOBUFFER);
        sci(SCI_SETMODEVENTMASK, eventMask);
    }
    sci(SCI_SCROLLCARET);
}

void ScriptBox::paste()
{
    leaveDiskScript();
    insertMimeText(QGuiApplication::clipboard()->mimeData(QClipboard::Clipboard));
}

void ScriptBox::insertMimeText(const QMimeData *source)
{
    if (isReadOnly())
        return;
    const std::optional<QByteArray> text = mimeText(source);
    if (!text)
        platform().showMessage(kNotUtf8);
    else if (!text->isEmpty())
        replaceSelectionBytes(*text);
}

std::optional<QByteArray> ScriptBox::decodeScript(QByteArray bytes)
{
    if (bytes.startsWith("\xFF\xFE") || bytes.startsWith("\xFE\xFF")) {
        const QByteArrayView units = QByteArrayView(bytes).sliced(2);
        if (units.size() % 2 != 0)
            return std::nullopt;
        // Stateless, so that a sequence cut off at the end is an error; the
        // mark was taken off above, so one more is text.
        QStringDecoder decoder(
            bytes[0] == '\xFF' ? QStringConverter::Utf16LE : QStringConverter::Utf16BE,
            QStringConverter::Flag::Stateless | QStringConverter::Flag::ConvertInitialBom);
        const QString text = decoder(units);
        if (decoder.hasError() || !QStringView(text).isValidUtf16() || text.contains(QChar(0)))
            return std::nullopt;
        return text.toUtf8();
    }
    if (bytes.startsWith("\xEF\xBB\xBF"))
        bytes.remove(0, 3);
    if (!QByteArrayView(bytes).isValidUtf8() || std::memchr(bytes.constData(), 0, bytes.size()))
        return std::nullopt;
    return bytes;
}

bool ScriptBox::canInsertFromMimeData(const QMimeData *source) const
{
    return !scriptFiles(source).isEmpty() || source->hasFormat(kUtf8Text)
        || QsciScintilla::canInsertFromMimeData(source);
}

void ScriptBox::dropEvent(QDropEvent *event)
{
    // A block (rectangular) selection moved within the box has lines of its
    // own; Scintilla drops it.
    if (event->source() == this && sci(SCI_SELECTIONISRECTANGLE)) {
        QsciScintilla::dropEvent(event);
        return;
    }
    // Whatever else is dropped, the drop caret goes.
    QDragLeaveEvent leave;
    QsciScintilla::dragLeaveEvent(&leave);
    const QStringList files = scriptFiles(event->mimeData());
    if (files.isEmpty() && event->source() != this && canInsertFromMimeData(event->mimeData()))
        leaveDiskScript();
    if (!files.isEmpty())
        dropFiles(files, event);
    else if (!isReadOnly() && canInsertFromMimeData(event->mimeData()))
        dropText(event);
    else
        event->ignore();
}

void ScriptBox::dropFiles(const QStringList &files, QDropEvent *event)
{
    // The message waits until the drop is over: a modal box inside the drop
    // would hold up the file manager that started the drag.
    auto refuse = [this, event](const QString &message) {
        event->ignore();
        QTimer::singleShot(0, this, [message] { platform().showMessage(message); });
    };
    qint64 total = 0;
    for (const QString &path : files)
        total += QFileInfo(path).size();
    if (total >= diskThreshold) {
        FileScript script(files);
        if (!script.open())
            return refuse(script.error());
        showDiskScript(files, script.size());
        event->setDropAction(Qt::CopyAction);
        event->accept();
        return;
    }
    leaveDiskScript();
    QByteArray text;
    for (const QString &path : files) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return refuse(u"Could not read \"%1\": %2"_qs.arg(path, file.errorString()));
        std::optional<QByteArray> content = decodeScript(file.readAll());
        if (!content)
            return refuse(
                u"\"%1\" is not a text file in UTF-8 or UTF-16: nothing was inserted."_qs.arg(
                    path));
        if (!text.isEmpty() && !text.endsWith('\n') && !text.endsWith('\r'))
            text += '\n';
        if (text.isEmpty())
            text = std::move(*content);
        else
            text += *content;
    }
    const QPoint at = event->position().toPoint();
    sci(SCI_SETEMPTYSELECTION, sci(SCI_POSITIONFROMPOINT, at.x(), at.y()));
    replaceSelectionBytes(text);
    event->setDropAction(Qt::CopyAction);
    event->accept();
}

void ScriptBox::dropText(QDropEvent *event)
{
    const QPoint point = event->position().toPoint();
    qsizetype at = sci(SCI_POSITIONFROMPOINT, point.x(), point.y());
    const bool moving = event->source() == this && event->proposedAction() == Qt::MoveAction;
    QByteArray text;
    sci(SCI_BEGINUNDOACTION);
    if (moving) {
        // Moved within the box: the selection's own bytes, not the copy
        // made for the drag.
        const qsizetype from = sci(SCI_GETSELECTIONSTART);
        const qsizetype to = sci(SCI_GETSELECTIONEND);
        if (at >= from && at <= to) {
            sci(SCI_ENDUNDOACTION);
            event->ignore();
            return;
        }
        text = QByteArray(
            reinterpret_cast<const char *>(sci(SCI_GETRANGEPOINTER, from, to - from)), to - from);
        sci(SCI_DELETERANGE, from, to - from);
        if (at > to)
            at -= to - from;
    } else {
        std::optional<QByteArray> dropped = mimeText(event->mimeData());
        if (!dropped) {
            sci(SCI_ENDUNDOACTION);
            event->ignore();
            QTimer::singleShot(0, this, [] { platform().showMessage(kNotUtf8); });
            return;
        }
        text = std::move(*dropped);
    }
    sci(SCI_SETEMPTYSELECTION, at);
    replaceSelectionBytes(text);
    sci(SCI_ENDUNDOACTION);
    sci(SCI_SETSEL, at, at + text.size());
    // A move from another program leaves it to delete its text, as it asked.
    event->setDropAction(event->proposedAction());
    event->accept();
}

void ScriptBox::keyPressEvent(QKeyEvent *event)
{
    // A key that edits gives back an ordinary box.
    if (!m_diskFiles.isEmpty()
        && (!event->text().isEmpty() || event->key() == Qt::Key_Backspace
            || event->key() == Qt::Key_Delete)
        && !(event->modifiers() & (Qt::ControlModifier | Qt::AltModifier))
        && event->key() != Qt::Key_Escape && event->key() != Qt::Key_Tab) {
        leaveDiskScript();
        event->accept();
        return;
    }
    if (event->matches(QKeySequence::Paste)) {
        paste();
        event->accept();
        return;
    }
    if (event->key() == Qt::Key_F8 && (event->modifiers() & ~Qt::ShiftModifier) == Qt::NoModifier) {
        goToMark(!(event->modifiers() & Qt::ShiftModifier));
        event->accept();
        return;
    }
    QsciScintilla::keyPressEvent(event);
}

void ScriptBox::mousePressEvent(QMouseEvent *event)
{
    QClipboard *clipboard = QGuiApplication::clipboard();
    if (event->button() == Qt::MiddleButton && clipboard->supportsSelection()) {
        setFocus();
        const QPoint at = event->position().toPoint();
        sci(SCI_SETEMPTYSELECTION, sci(SCI_POSITIONFROMPOINT, at.x(), at.y()));
        insertMimeText(clipboard->mimeData(QClipboard::Selection));
        event->accept();
        return;
    }
    QsciScintilla::mousePressEvent(event);
}

bool ScriptBox::focusNextPrevChild(bool next)
{
    // Tab and Shift+Tab move the focus on: the box takes no tabs.
    return QWidget::focusNextPrevChild(next);
}
