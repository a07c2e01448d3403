#include "ui/ScriptBox.h"

#include "core/Platform.h"

#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QMimeData>
#include <QStringDecoder>
#include <QTimer>
#include <QUrl>

namespace {

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

} // namespace

ScriptBox::ScriptBox(QWidget *parent)
    : QPlainTextEdit(parent)
{
}

std::optional<QString> ScriptBox::decodeScript(QByteArrayView bytes)
{
    QStringConverter::Encoding encoding = QStringConverter::Utf8;
    if (bytes.startsWith("\xEF\xBB\xBF")) {
        bytes = bytes.sliced(3);
    } else if (bytes.startsWith("\xFF\xFE") || bytes.startsWith("\xFE\xFF")) {
        encoding = bytes[0] == '\xFF' ? QStringConverter::Utf16LE : QStringConverter::Utf16BE;
        bytes = bytes.sliced(2);
        if (bytes.size() % 2 != 0)
            return std::nullopt;
    }
    // Stateless, so that a sequence cut off at the end is an error; the
    // mark was taken off above, so one more is text.
    QStringDecoder decoder(
        encoding, QStringConverter::Flag::Stateless | QStringConverter::Flag::ConvertInitialBom);
    QString text = decoder(bytes);
    if (decoder.hasError() || !QStringView(text).isValidUtf16() || text.contains(QChar(0)))
        return std::nullopt;
    return text;
}

bool ScriptBox::canInsertFromMimeData(const QMimeData *source) const
{
    return !scriptFiles(source).isEmpty() || QPlainTextEdit::canInsertFromMimeData(source);
}

void ScriptBox::dropEvent(QDropEvent *event)
{
    const QStringList files = scriptFiles(event->mimeData());
    if (files.isEmpty()) {
        QPlainTextEdit::dropEvent(event);
        return;
    }
    // The message waits until the drop is over: a modal box inside the drop
    // would hold up the file manager that started the drag.
    auto refuse = [this, event](const QString &message) {
        event->ignore();
        QTimer::singleShot(0, this, [message] { platform().showMessage(message); });
    };
    QString text;
    for (const QString &path : files) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return refuse(u"Could not read \"%1\": %2"_qs.arg(path, file.errorString()));
        const std::optional<QString> content = decodeScript(file.readAll());
        if (!content)
            return refuse(
                u"\"%1\" is not a text file in UTF-8 or UTF-16: nothing was inserted."_qs.arg(
                    path));
        if (!text.isEmpty() && !text.endsWith(u'\n') && !text.endsWith(u'\r'))
            text += u'\n';
        text += *content;
    }
    QTextCursor cursor = cursorForPosition(event->position().toPoint());
    cursor.insertText(text);
    setTextCursor(cursor);
    event->setDropAction(Qt::CopyAction);
    event->accept();
}
