#pragma once

#include <QPlainTextEdit>

#include <optional>

// The query window's script box: a plain text box that takes local .sql and
// .txt files dropped on it as their contents, not their names. Pasting is
// that of any plain text box.
class ScriptBox : public QPlainTextEdit {
    Q_OBJECT
public:
    explicit ScriptBox(QWidget *parent = nullptr);

    // A script file's text: UTF-8 with or without a byte order mark, or
    // UTF-16 with one. Nothing when the bytes are not text in those; a NUL
    // character counts as not text, as no script file holds one.
    static std::optional<QString> decodeScript(QByteArrayView bytes);

protected:
    bool canInsertFromMimeData(const QMimeData *source) const override;
    void dropEvent(QDropEvent *event) override;
};
