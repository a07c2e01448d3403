#include "ui/ScriptBox.h"

#include "core/Platform.h"
#include "db/FileScript.h"
#include "ui/Look.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QApplication>
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
#include <QTextDocument>
#include <QToolTip>
#include <QUrl>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace {

using SqlText::Kind;

// Indicators from the range Scintilla leaves to its users.
constexpr int kFailureIndicator = QsciScintillaBase::INDIC_CONTAINER;
constexpr int kWarningIndicator = QsciScintillaBase::INDIC_CONTAINER + 1;
// Markers are drawn in number order: a failure's sign covers a warning's.
constexpr int kWarningMarker = 0;
constexpr int kFailureMarker = 1;
// Margins from the left: line numbers, the signs of a run's marks (while
// there are any), statement marks.
constexpr int kNumberMargin = 0;
constexpr int kMarkMargin = 1;
constexpr int kStatementMargin = 2;
constexpr int kMarkMarginWidth = 14;
constexpr int kStatementMarginWidth = 8;
constexpr int kNumberPadding = 8;
// The messages' styles, counted from the annotations' own style offset, past
// the styles the text is coloured in.
constexpr int kFailureNoteStyle = 1;
constexpr int kWarningNoteStyle = 2;
constexpr int kNoteStyles = 3;
// Why a ";" with a join sign does not end its statement: the indicator's value.
constexpr int kJoinedByBlank = 1;
constexpr int kJoinedByComment = 2;
const QString kJoinReasons[] = {
    u"This ; does not end the statement: a blank follows it on its line, and only a ; that a "
    "line break follows at once ends one. The next line goes on with this statement."_qs,
    u"This ; does not end the statement: a comment follows it on its line, and only a ; that a "
    "line break follows at once ends one. The next line goes on with this statement."_qs,
};
constexpr int kDwellMs = 400;

// Styling this close before what is shown goes on from where it stopped;
// further, what is shown is coloured alone.
constexpr qsizetype kNearStyles = 256 << 10;
// An edit may change how the bytes just before it read ("-" typed after
// "-"), and the first word of its line makes a DELIMITER line.
constexpr qsizetype kRestyleBefore = 256;
// What the marks may cut at once before what is shown; more is cut in steps.
constexpr qsizetype kCutNow = 1 << 20;
constexpr qsizetype kUnlimited = std::numeric_limits<qsizetype>::max();

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

// Quiet shades on the text-area background, beside the black of code; the
// tints lean to the buttons' face colour.
const QColor kLiteralFore(25, 105, 60);
const QColor kNameFore(30, 75, 150);
const QColor kCommentFore(112, 122, 138);
const QColor kDirectiveFore(130, 65, 150);
const QColor kDelimiterBack(238, 241, 248);
const QColor kEscapeBack(196, 226, 204);
const QColor kNumberFore(128, 138, 154);
const QColor kNumberBack(241, 244, 249);
const QColor kStatementMarkColour(
    Look::kButtonFaceRed - 80, Look::kButtonFaceGreen - 70, Look::kButtonFaceBlue - 50);

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

// Bytes of the script from `base` up to `limit`, in one piece, read in the
// script's own positions.
struct Bytes {
    const char *data;
    qsizetype base;
    qsizetype limit;
    char at(qsizetype position) const { return data[position - base]; }
};

// Reads [from, to) from its start, as the cut reads a stretch it begins
// there; f(kind, start, end, reader) for each stretch.
template <class F>
void readStretches(const Bytes &bytes, qsizetype from, qsizetype to, SqlText::Mode mode, const F &f)
{
    SqlText::Reader reader(mode);
    for (qsizetype r = from, end = 0; r < to; r = end) {
        const Kind kind = reader.next(bytes.data, r - bytes.base, bytes.limit - bytes.base, &end);
        end += bytes.base;
        f(kind, r, end, reader);
    }
}

// A ";" in code that a blank or comment, then a line break, follows: the
// statement goes on over the line break.
struct Join {
    qsizetype from; // the ";"
    qsizetype to; // past the blanks after it
    int why;
    bool operator==(const Join &) const = default;
};

std::vector<Join> joinsIn(const Bytes &bytes, const StatementMap::Piece &piece, qsizetype from,
    qsizetype to, SqlText::Mode mode)
{
    std::vector<Join> joins;
    const qsizetype end = piece.end;
    readStretches(bytes, piece.start, end, mode,
        [&](Kind kind, qsizetype r, qsizetype, const SqlText::Reader &reader) {
            if (kind != Kind::Code || bytes.at(r) != ';' || r < from || r >= to)
                return;
            qsizetype k = r + 1;
            while (k < end && SqlText::isBlank(bytes.at(k)))
                ++k;
            const qsizetype blanks = k;
            bool comment = false;
            for (;;) {
                if (k < end && SqlText::isLineBreak(bytes.at(k)))
                    break;
                qsizetype after = 0;
                SqlText::Reader probe = reader;
                if (k >= end
                    || probe.next(bytes.data, k - bytes.base, bytes.limit - bytes.base, &after)
                        != Kind::Comment)
                    return; // code after it on its line, or the script's end
                after += bytes.base;
                comment = true;
                const char *const text = bytes.data + (k - bytes.base);
                if (std::any_of(text, text + (after - k), SqlText::isLineBreak))
                    break; // a block comment over the line break
                k = after;
                while (k < end && SqlText::isBlank(bytes.at(k)))
                    ++k;
            }
            joins.push_back({ r, blanks, comment ? kJoinedByComment : kJoinedByBlank });
        });
    return joins;
}

// Qt makes a widget's accessible as the widget shows, whether a screen
// reader is on or not, and QScintilla's counts the characters up to the
// caret at every change of what is shown: a second a key at the end of
// 100 MB. Until one is on, the box has a plain accessible, named by its
// label; then QScintilla's, which reads the text.
QAccessibleInterface *plainAccessible(const QString &, QObject *object)
{
    auto *box = qobject_cast<ScriptBox *>(object);
    return box && !QAccessible::isActive() ? new QAccessibleWidget(box, QAccessible::EditableText)
                                           : nullptr;
}

struct ScreenReaderWatch : QAccessible::ActivationObserver {
    void accessibilityActiveChanged(bool active) override
    {
        if (!active)
            return;
        for (QWidget *widget : QApplication::allWidgets()) {
            if (auto *box = qobject_cast<ScriptBox *>(widget)) {
                if (QAccessibleInterface *plain = QAccessible::queryAccessibleInterface(box))
                    QAccessible::deleteAccessibleInterface(QAccessible::uniqueId(plain));
            }
        }
    }
};

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
    , m_map({ [this] { return qsizetype(sci(SCI_GETLENGTH)); },
          [this](qsizetype position, qsizetype length) { return bytesAt(position, length); } })
{
    m_viewTimer.setSingleShot(true);
    m_viewTimer.setInterval(0);
    connect(&m_viewTimer, &QTimer::timeout, this, [this] { updateView(kCutNow); });
    m_cutTimer.setSingleShot(true);
    m_cutTimer.setInterval(0);
    connect(
        &m_cutTimer, &QTimer::timeout, this, [this] { updateView(StatementMap::Steps {}.slice); });
    // Factories made later are asked first: this one before QScintilla's.
    static const bool watched = [] {
        QAccessible::installFactory(plainAccessible);
        static ScreenReaderWatch watch;
        QAccessible::installActivationObserver(&watch);
        return true;
    }();
    Q_UNUSED(watched);
    useDocument(true, false);

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

    // The colours of what the text is, in the font of the rest: the lexer
    // is the box's own, fed by the cut's reading.
    const struct {
        Colour colour;
        QColor fore;
        QColor back;
    } colours[] = { { Colour::Literal, kLiteralFore, {} }, { Colour::Name, kNameFore, {} },
        { Colour::Comment, kCommentFore, {} }, { Colour::Executable, kDirectiveFore, {} },
        { Colour::Delimiter, kDirectiveFore, kDelimiterBack },
        { Colour::Escape, kLiteralFore, kEscapeBack } };
    for (const auto &c : colours) {
        SendScintilla(SCI_STYLESETFORE, int(c.colour), c.fore);
        if (c.back.isValid())
            SendScintilla(SCI_STYLESETBACK, int(c.colour), c.back);
    }
    // The delimiter line's tint runs to the box's edge.
    sci(SCI_STYLESETEOLFILLED, int(Colour::Delimiter), 1);

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

    // Line numbers, sized to the script.
    sci(SCI_SETMARGINTYPEN, kNumberMargin, SC_MARGIN_NUMBER);
    SendScintilla(SCI_STYLESETFORE, STYLE_LINENUMBER, kNumberFore);
    SendScintilla(SCI_STYLESETBACK, STYLE_LINENUMBER, kNumberBack);
    m_lineDigits = 0; // measured in the font set above
    fitLineNumbers();

    // A small arrow beside each statement's first code line, so that lines
    // that run as one statement show it.
    sci(SCI_SETMARGINTYPEN, kStatementMargin, SC_MARGIN_BACK);
    sci(SCI_SETMARGINMASKN, kStatementMargin, 1 << kStatementMarker);
    sci(SCI_SETMARGINWIDTHN, kStatementMargin, kStatementMarginWidth);
    sci(SCI_MARKERDEFINE, kStatementMarker, SC_MARK_ARROW);
    SendScintilla(SCI_MARKERSETFORE, kStatementMarker, kStatementMarkColour);
    SendScintilla(SCI_MARKERSETBACK, kStatementMarker, kStatementMarkColour);
    // A ";" that does not end its statement, and the blanks after it, on an
    // amber tint under the text.
    sci(SCI_INDICSETSTYLE, kJoinIndicator, INDIC_STRAIGHTBOX);
    SendScintilla(SCI_INDICSETFORE, kJoinIndicator, kWarningColour);
    sci(SCI_INDICSETALPHA, kJoinIndicator, 70);
    sci(SCI_INDICSETOUTLINEALPHA, kJoinIndicator, 200);
    sci(SCI_INDICSETUNDER, kJoinIndicator, 1);

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
    // A message under its statement's first code line, in italics on a tint,
    // so that it does not read as part of the script; in styles of its own,
    // apart from the text's.
    sci(SCI_ANNOTATIONSETSTYLEOFFSET, sci(SCI_ALLOCATEEXTENDEDSTYLES, kNoteStyles));
    const struct {
        int style;
        QColor fore;
        QColor back;
    } notes[] = { { kFailureNoteStyle, kFailureNoteFore, kFailureNoteBack },
        { kWarningNoteStyle, kWarningNoteFore, kWarningNoteBack } };
    const long offset = sci(SCI_ANNOTATIONGETSTYLEOFFSET);
    for (const auto &note : notes) {
        SendScintilla(SCI_STYLESETFORE, offset + note.style, note.fore);
        SendScintilla(SCI_STYLESETBACK, offset + note.style, note.back);
        sci(SCI_STYLESETITALIC, offset + note.style, 1);
    }
    sci(SCI_ANNOTATIONSETVISIBLE, ANNOTATION_STANDARD);

    // Changes of the text are told before they are made, and only those:
    // styles and marks change at every paint and pass.
    tellChanges();
    connect(this, &QsciScintillaBase::SCN_MODIFIED, this,
        [this](int position, int modificationType, const char *, int length) {
            textChanging(position, modificationType, length);
        });
    connect(this, &QsciScintillaBase::SCN_STYLENEEDED, this,
        [this](int position) { styleNeeded(position); });
    connect(this, &QsciScintillaBase::SCN_UPDATEUI, this, [this](int updated) {
        if ((updated & (SC_UPDATE_CONTENT | SC_UPDATE_V_SCROLL)) != 0)
            scheduleView();
    });
    // Scintilla has no tooltips: a mark's message and a join's reason show
    // in Qt's when the pointer rests.
    sci(SCI_SETMOUSEDWELLTIME, kDwellMs);
    connect(this, &QsciScintillaBase::SCN_DWELLSTART, this,
        [this](int, int x, int y) { showHover(x, y); });
    connect(this, &QsciScintillaBase::SCN_DWELLEND, this, [] { QToolTip::hideText(); });
}

ScriptBox::~ScriptBox() = default;

const char *ScriptBox::bytesAt(qsizetype position, qsizetype length) const
{
    return reinterpret_cast<const char *>(sci(SCI_GETRANGEPOINTER, position, length));
}

// Puts the box on a new document, with styles or without. A document's
// options are fixed when it is made, and one without styles cannot be
// coloured. Undo and marks stay with the old one.
void ScriptBox::useDocument(bool coloured, bool keepText)
{
    QByteArray text;
    long anchor = 0;
    long caret = 0;
    if (keepText) {
        text = scriptBytes();
        anchor = sci(SCI_GETANCHOR);
        caret = sci(SCI_GETCURRENTPOS);
    }
    clearMarks();
    const auto document = reinterpret_cast<void *>(sci(SCI_CREATEDOCUMENT, 0,
        coloured ? SC_DOCUMENTOPTION_DEFAULT : SC_DOCUMENTOPTION_STYLES_NONE));
    SendScintilla(SCI_SETDOCPOINTER, 0, document);
    // The widget holds its own reference.
    SendScintilla(SCI_RELEASEDOCUMENT, 0, document);
    // What a document holds of its own.
    sci(SCI_SETCODEPAGE, SC_CP_UTF8);
    // Enter inserts CR LF; pasted text keeps its own line ends (paste()).
    sci(SCI_SETEOLMODE, SC_EOL_CRLF);
    // No lexer: the box styles the text when Scintilla asks (SCN_STYLENEEDED).
    sci(SCI_SETLEXER, SCLEX_CONTAINER);
    m_coloured = coloured;
    m_map.reset();
    m_islandFrom = m_islandTo = 0;
    m_statementLines.clear();
    m_lineEdit.reset();
    if (!text.isEmpty()) {
        const long eventMask = sci(SCI_GETMODEVENTMASK);
        sci(SCI_SETMODEVENTMASK, 0);
        sci(SCI_SETUNDOCOLLECTION, 0);
        SendScintilla(SCI_ADDTEXT, uintptr_t(text.size()), text.constData());
        sci(SCI_SETUNDOCOLLECTION, 1);
        sci(SCI_EMPTYUNDOBUFFER);
        sci(SCI_SETMODEVENTMASK, eventMask);
        sci(SCI_SETSEL, anchor, caret);
    }
    fitLineNumbers();
    scheduleView();
}

void ScriptBox::setSqlMode(SqlText::Mode mode)
{
    if (mode == m_map.mode())
        return;
    m_map.setMode(mode);
    // Every style may read otherwise now.
    m_islandFrom = m_islandTo = 0;
    if (m_coloured)
        sci(SCI_STARTSTYLING, 0);
    viewport()->update();
    scheduleView();
}

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
        // Both styles measure alike.
        note += noteLines(message, kFailureNoteStyle).join(u'\n').toUtf8();
        SendScintilla(SCI_ANNOTATIONSETTEXT, line, note.constData());
        sci(SCI_ANNOTATIONSETSTYLE, line,
            failure || hadFailure ? kFailureNoteStyle : kWarningNoteStyle);
        m_notes.push_back({ from, to, message });
    }
    m_markStartsSorted
        = m_markStartsSorted && (m_markStarts.empty() || m_markStarts.back() <= from);
    m_markStarts.push_back(from);
}

// A message in lines that fit the text's width, broken at spaces where it
// can be: Scintilla shows each line of a note as it is, however long.
QStringList ScriptBox::noteLines(const QString &message, int style)
{
    if (message == m_brokenMessage && style == m_brokenStyle)
        return m_brokenLines;
    const int noteStyle = int(sci(SCI_ANNOTATIONGETSTYLEOFFSET)) + style;
    long room = viewport()->width() - sci(SCI_GETMARGINLEFT) - sci(SCI_GETMARGINRIGHT);
    for (int margin = 0; margin < 5; ++margin)
        room -= sci(SCI_GETMARGINWIDTHN, margin);
    room = std::max(room - 4, 40L);
    const auto fits = [&](const QString &text) {
        const QByteArray bytes = text.toUtf8();
        return SendScintilla(SCI_TEXTWIDTH, noteStyle, bytes.constData()) <= room;
    };
    QString text = message;
    text.replace(u"\r\n"_qs, u"\n"_qs).replace(u'\r', u'\n');
    QStringList lines;
    for (const QString &paragraph : text.split(u'\n')) {
        QString line;
        const QStringList words = paragraph.split(u' ');
        for (qsizetype i = 0; i < words.size(); ++i) {
            if (i > 0) {
                const QString longer = line + u' ' + words[i];
                if (fits(longer)) {
                    line = longer;
                    continue;
                }
                lines << line;
            }
            line = words[i];
            // A word wider than the room is broken where it must be.
            while (line.size() > 1 && !fits(line)) {
                qsizetype low = 1;
                qsizetype high = line.size() - 1;
                while (low < high) {
                    const qsizetype middle = (low + high + 1) / 2;
                    if (fits(line.left(middle)))
                        low = middle;
                    else
                        high = middle - 1;
                }
                if (low > 1 && line[low - 1].isHighSurrogate())
                    --low;
                lines << line.left(low);
                line.remove(0, low);
            }
        }
        lines << line;
    }
    m_brokenMessage = message;
    m_brokenStyle = style;
    m_brokenLines = lines;
    return lines;
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
    for (const int marker : { kFailureMarker, kWarningMarker })
        sci(SCI_MARKERDELETEALL, marker);
    sci(SCI_ANNOTATIONCLEARALL);
    m_markStarts.clear();
    m_markStartsSorted = true;
    m_notes.clear();
    setMarginShown(false);
}

void ScriptBox::setMarginShown(bool shown)
{
    sci(SCI_SETMARGINWIDTHN, kMarkMargin, shown ? kMarkMarginWidth : 0);
}

void ScriptBox::fitLineNumbers()
{
    int digits = 2;
    for (long lines = sci(SCI_GETLINECOUNT); lines >= 100; lines /= 10)
        ++digits;
    if (digits == m_lineDigits)
        return;
    m_lineDigits = digits;
    const QByteArray widest(digits, '9');
    sci(SCI_SETMARGINWIDTHN, kNumberMargin,
        SendScintilla(SCI_TEXTWIDTH, STYLE_LINENUMBER, widest.constData()) + kNumberPadding);
}

// Which changes Scintilla tells. Told after it is made, a change has
// QScintilla's accessibility count the characters up to it (a second a key
// at the end of 100 MB), for screen readers: only when one is on.
void ScriptBox::tellChanges()
{
    const long wanted = SC_MOD_BEFOREINSERT | SC_MOD_BEFOREDELETE
        | (QAccessible::isActive() ? SC_MOD_INSERTTEXT | SC_MOD_DELETETEXT : 0);
    if (sci(SCI_GETMODEVENTMASK) != wanted)
        sci(SCI_SETMODEVENTMASK, wanted);
}

void ScriptBox::textChanging(int position, int modificationType, int length)
{
    const bool inserting = (modificationType & SC_MOD_BEFOREINSERT) != 0;
    if (!inserting && (modificationType & SC_MOD_BEFOREDELETE) == 0)
        return;
    tellChanges();
    moveStatementMarks();
    clearMarks();
    // What the map knows it moves by positions alone: told before the
    // change, it holds after it.
    if (inserting)
        m_map.inserted(position, length);
    else
        m_map.removed(position, length);
    // What was coloured from before the edit on may read otherwise now.
    if (m_islandTo > position - kRestyleBefore)
        m_islandTo = std::max(m_islandFrom, position - kRestyleBefore);
    const long line = sci(SCI_LINEFROMPOSITION, position);
    m_lineEdit
        = { line, inserting && sci(SCI_POSITIONFROMLINE, line) == position, sci(SCI_GETLINECOUNT) };
    scheduleView();
}

// The statement marks move with their lines as Scintilla moves them: lines
// put in at a line's start take its marks down with them, and the marks of
// lines taken out go to the line the edit started in. Done once the edit is
// made, when its lines are known.
void ScriptBox::moveStatementMarks()
{
    if (!m_lineEdit)
        return;
    const auto [line, atLineStart, linesBefore] = *m_lineEdit;
    m_lineEdit.reset();
    const long added = sci(SCI_GETLINECOUNT) - linesBefore;
    if (added == 0)
        return;
    for (long &marked : m_statementLines) {
        if (added > 0 && (marked > line || (marked == line && atLineStart)))
            marked += added;
        else if (added < 0 && marked > line)
            marked = std::max(line, marked + added);
    }
    std::sort(m_statementLines.begin(), m_statementLines.end());
    m_statementLines.erase(
        std::unique(m_statementLines.begin(), m_statementLines.end()), m_statementLines.end());
    fitLineNumbers();
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
    // A script that grows past the colours' limit goes to a document
    // without styles while its text is still small; one replaced whole by
    // a smaller one comes back to colours, with nothing to copy.
    const qsizetype length = sci(SCI_GETLENGTH);
    qsizetype selected = 0;
    for (long i = 0, n = sci(SCI_GETSELECTIONS); i < n; ++i)
        selected += sci(SCI_GETSELECTIONNEND, i) - sci(SCI_GETSELECTIONNSTART, i);
    const qsizetype after = length - selected + bytes.size();
    if (m_coloured && after >= kColourLimit)
        useDocument(false, true);
    else if (!m_coloured && after < kColourLimit && selected == length)
        useDocument(true, false);

    const bool big = bytes.size() >= kBigInsert;
    const long eventMask = sci(SCI_GETMODEVENTMASK);
    if (big) {
        // Not told as a change (a notification carries any of its flags):
        // QScintilla's accessibility would copy the text into a string of
        // twice its size. The statement marks are told below.
        clearMarks();
        clearStatementMarks();
        sci(SCI_SETMODEVENTMASK, 0);
        sci(SCI_SETUNDOCOLLECTION, 0);
    }
    const qsizetype at = sci(SCI_GETSELECTIONSTART);
    const qsizetype removed = sci(SCI_GETSELECTIONEND) - at;
    const bool oneRange = sci(SCI_GETSELECTIONS) == 1;
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
        if (oneRange) {
            if (removed > 0)
                m_map.removed(at, removed);
            m_map.inserted(at, bytes.size());
        } else {
            m_map.reset();
        }
        m_islandTo = std::min(m_islandTo, std::max(m_islandFrom, at - kRestyleBefore));
        fitLineNumbers();
        scheduleView();
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
    // Typing into a box emptied of a big script brings the colours back;
    // undo still has the emptying to undo.
    const bool typed = (!event->text().isEmpty() && event->text().at(0).isPrint()
                           && (event->modifiers() & (Qt::ControlModifier | Qt::AltModifier)) == 0)
        || event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (!m_coloured && typed && sci(SCI_GETLENGTH) == 0)
        useDocument(true, false);
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

void ScriptBox::scheduleView()
{
    if (!m_viewTimer.isActive())
        m_viewTimer.start();
}

void ScriptBox::clearStatementMarks()
{
    moveStatementMarks();
    for (const long line : m_statementLines) {
        while ((sci(SCI_MARKERGET, line) & (1 << kStatementMarker)) != 0)
            sci(SCI_MARKERDELETE, line, kStatementMarker);
    }
    m_statementLines.clear();
}

// Scintilla asks for styles from where they stop up to the end of what it
// shows. Far below that point (a jump to a big script's end), what is shown
// is coloured alone, and the styling's end is left where it was, for what
// lies between.
void ScriptBox::styleNeeded(qsizetype position)
{
    if (!m_coloured)
        return;
    const qsizetype styled = sci(SCI_GETENDSTYLED);
    const long top = sci(SCI_DOCLINEFROMVISIBLE, sci(SCI_GETFIRSTVISIBLELINE));
    const qsizetype shownFrom = sci(SCI_POSITIONFROMLINE, top);
    const long bottom
        = sci(SCI_DOCLINEFROMVISIBLE, sci(SCI_GETFIRSTVISIBLELINE) + sci(SCI_LINESONSCREEN) + 1);
    const qsizetype to = std::min<qsizetype>(position,
        bottom + 1 < sci(SCI_GETLINECOUNT) ? sci(SCI_POSITIONFROMLINE, bottom + 1)
                                           : sci(SCI_GETLENGTH));
    if (to <= styled)
        return;
    const bool near = shownFrom - styled <= kNearStyles;
    if (!near && m_islandFrom <= shownFrom && to <= m_islandTo)
        return;
    qsizetype from = near ? styled : shownFrom;
    from = std::max<qsizetype>(
        sci(SCI_POSITIONFROMLINE, sci(SCI_LINEFROMPOSITION, from)), from - kRestyleBefore);
    colour(from, to);
    if (near) {
        // Up to the stretch coloured alone, should this reach it.
        qsizetype end = to;
        if (m_islandTo > m_islandFrom && m_islandFrom <= to)
            end = std::max(to, m_islandTo);
        if (m_islandFrom <= to)
            m_islandFrom = m_islandTo = 0;
        sci(SCI_STARTSTYLING, end);
    } else {
        if (m_islandTo > m_islandFrom && from <= m_islandTo && m_islandFrom <= to) {
            m_islandFrom = std::min(m_islandFrom, from);
            m_islandTo = std::max(m_islandTo, to);
        } else {
            m_islandFrom = from;
            m_islandTo = to;
        }
        sci(SCI_STARTSTYLING, styled);
    }
}

// Colours [from, to) as the cut reads it: each statement, the text before
// it and its delimiter read from their own starts.
void ScriptBox::colour(qsizetype from, qsizetype to)
{
    const SqlText::Mode mode = m_map.mode();
    m_map.reach(from, kUnlimited);
    const StatementMap::Reading &reading = m_map.read(from, to);
    const auto &pieces = reading.pieces;
    auto piece = std::find_if(pieces.begin(), pieces.end(),
        [from](const StatementMap::Piece &p) { return p.next > from; });
    const qsizetype base = piece != pieces.end() ? piece->lead : reading.tail;
    const qsizetype limit = std::min<qsizetype>(sci(SCI_GETLENGTH), to + StatementMap::kLookahead);
    const Bytes bytes { bytesAt(base, limit - base), base, limit };

    QByteArray styles(to - from, char(Colour::Code));
    const auto paint = [&](qsizetype a, qsizetype z, Colour colour) {
        a = std::max(a, from);
        z = std::min(z, to);
        if (a < z)
            std::memset(styles.data() + (a - from), int(colour), size_t(z - a));
    };
    const auto plain = [&](qsizetype a, qsizetype z) {
        if (z <= from || a >= to)
            return;
        readStretches(bytes, a, z, mode,
            [&](Kind kind, qsizetype r, qsizetype e, const SqlText::Reader &reader) {
                switch (kind) {
                case Kind::Code:
                    return;
                case Kind::Comment:
                    return paint(r, e, Colour::Comment);
                case Kind::Executable:
                    return paint(r, e, Colour::Executable);
                case Kind::Literal:
                case Kind::Name:
                    break;
                }
                paint(r, e, kind == Kind::Literal ? Colour::Literal : Colour::Name);
                if (e <= from || r >= to)
                    return;
                reader.forEachEscape(bytes.data, r - base, std::min(e, limit) - base,
                    [&](qsizetype at, qsizetype length) {
                        at += base;
                        // The whole character a backslash escapes.
                        qsizetype stop = at + length;
                        while (stop < limit && (uchar(bytes.at(stop)) & 0xC0) == 0x80)
                            ++stop;
                        paint(at, stop, Colour::Escape);
                    });
            });
    };
    const auto lead = [&](qsizetype a, qsizetype z) {
        for (const ScriptCutter::Span &line : reading.delimiterLines) {
            if (line.to <= a || line.from >= z)
                continue;
            plain(a, line.from);
            // Its line break too: the tint runs to the box's edge.
            a = line.to < limit
                ? SqlText::skipLineBreak(bytes.data, line.to - base, limit - base) + base
                : line.to;
            paint(line.from, a, Colour::Delimiter);
        }
        plain(a, z);
    };
    for (; piece != pieces.end() && piece->lead < to; ++piece) {
        lead(piece->lead, piece->start);
        if (piece->refused)
            paint(piece->start, piece->end, Colour::Delimiter);
        else
            plain(piece->start, piece->end);
        plain(piece->end, piece->next);
    }
    if (piece == pieces.end() && !reading.open)
        lead(reading.tail, to);

    sci(SCI_STARTSTYLING, from);
    SendScintilla(SCI_SETSTYLINGEX, uintptr_t(styles.size()), styles.constData());
}

// Marks the statements in view, and the ";" that do not end theirs. Only
// what is shown is marked: the marks of a script of millions of lines would
// cost more than its text.
void ScriptBox::updateView(qsizetype budget)
{
    moveStatementMarks();
    const long lines = sci(SCI_GETLINECOUNT);
    const long topVisible = sci(SCI_GETFIRSTVISIBLELINE);
    const long first = sci(SCI_DOCLINEFROMVISIBLE, topVisible);
    const long last
        = std::min(lines - 1, sci(SCI_DOCLINEFROMVISIBLE, topVisible + sci(SCI_LINESONSCREEN)) + 1);
    const qsizetype size = sci(SCI_GETLENGTH);
    const qsizetype from = sci(SCI_POSITIONFROMLINE, first);
    const qsizetype to = last + 1 < lines ? sci(SCI_POSITIONFROMLINE, last + 1) : size;
    if (!m_map.reach(from, budget)) {
        // Cut on in steps, between the user's keys.
        m_cutTimer.start();
        return;
    }
    const StatementMap::Reading &reading = m_map.read(from, to);

    std::vector<long> wanted;
    for (const StatementMap::Piece &piece : reading.pieces) {
        if (piece.code >= from && piece.code < to)
            wanted.push_back(sci(SCI_LINEFROMPOSITION, piece.code));
    }
    wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());
    const long bit = 1 << kStatementMarker;
    const auto unmark = [&](long line) {
        if (!std::binary_search(wanted.begin(), wanted.end(), line)) {
            while ((sci(SCI_MARKERGET, line) & bit) != 0)
                sci(SCI_MARKERDELETE, line, kStatementMarker);
        }
    };
    // Marks out of view go: what they stand on is read again when shown.
    for (const long line : m_statementLines)
        unmark(line);
    for (long line = first; line <= last; ++line)
        unmark(line);
    for (const long line : wanted) {
        if ((sci(SCI_MARKERGET, line) & bit) == 0)
            sci(SCI_MARKERADD, line, kStatementMarker);
    }
    m_statementLines = std::move(wanted);

    std::vector<Join> joins;
    const auto firstPiece = std::find_if(reading.pieces.begin(), reading.pieces.end(),
        [from](const StatementMap::Piece &p) { return p.end > from; });
    if (firstPiece != reading.pieces.end() && firstPiece->start < to) {
        const qsizetype base = firstPiece->start;
        const qsizetype limit = std::min(size, to + StatementMap::kLookahead);
        const Bytes bytes { bytesAt(base, limit - base), base, limit };
        for (auto piece = firstPiece; piece != reading.pieces.end() && piece->start < to; ++piece) {
            if (!piece->standard || piece->refused || piece->pasted)
                continue;
            const std::vector<Join> found = joinsIn(bytes, *piece, from, to, m_map.mode());
            joins.insert(joins.end(), found.begin(), found.end());
        }
    }
    std::vector<Join> shown;
    for (qsizetype p = from; p < to;) {
        const long why = sci(SCI_INDICATORVALUEAT, kJoinIndicator, p);
        const qsizetype end = std::min<qsizetype>(to, sci(SCI_INDICATOREND, kJoinIndicator, p));
        if (end <= p)
            break;
        if (why != 0)
            shown.push_back({ p, end, int(why) });
        p = end;
    }
    // Changed only when they differ: a change of the signs is a change of
    // what is shown, which asks for this again.
    if (joins != shown) {
        sci(SCI_SETINDICATORCURRENT, kJoinIndicator);
        sci(SCI_INDICATORCLEARRANGE, from, to - from);
        for (const Join &join : joins) {
            sci(SCI_SETINDICATORVALUE, join.why);
            sci(SCI_INDICATORFILLRANGE, join.from, join.to - join.from);
        }
    }
}

void ScriptBox::showHover(int x, int y)
{
    QStringList shown;
    const long at = sci(SCI_CHARPOSITIONFROMPOINTCLOSE, x, y);
    if (at >= 0) {
        const long why = sci(SCI_INDICATORVALUEAT, kJoinIndicator, at);
        if (why == kJoinedByBlank || why == kJoinedByComment)
            shown << kJoinReasons[why - 1];
        for (const Note &note : m_notes) {
            if (note.from <= at && at < note.to)
                shown << note.message;
        }
    }
    if (shown.isEmpty()) {
        // Over a sign or a message: the notes of that line.
        const long line = sci(SCI_DOCLINEFROMVISIBLE,
            sci(SCI_GETFIRSTVISIBLELINE) + y / std::max(1L, sci(SCI_TEXTHEIGHT, 0)));
        for (const Note &note : m_notes) {
            if (sci(SCI_LINEFROMPOSITION, note.from) == line)
                shown << note.message;
        }
    }
    if (!shown.isEmpty())
        QToolTip::showText(viewport()->mapToGlobal(QPoint(x, y)),
            Qt::convertFromPlainText(shown.join(u'\n'), Qt::WhiteSpaceNormal), viewport());
}
