#include "ui/Look.h"

#include <QFile>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPainterPath>
#include <QPalette>
#include <QPushButton>
#include <QRawFont>
#include <QScreen>
#include <QStringList>
#include <QWidget>
#include <QtEndian>

#include <cmath>
#include <cstring>

namespace Look {

namespace {

    constexpr double kTwipsPerPixel = 15.0;
    constexpr char16_t kWineFonts[] = u"/usr/share/wine/fonts/";

    QStringList families()
    {
        registerFonts();
        return { u"Tahoma"_qs, u"DejaVu Sans"_qs };
    }

    QFont familyFont(double points)
    {
        QFont font;
        font.setFamilies(families());
        font.setPointSizeF(points);
        font.setWeight(QFont::Normal);
        return font;
    }

    // Where size bytes at offset into a TrueType table lie in the font file, or
    // null when the file has no such table or is too short.
    char *tableField(QByteArray &font, const char (&tag)[5], qsizetype offset, qsizetype size)
    {
        if (font.size() < 12)
            return nullptr;
        const auto count = qFromBigEndian<quint16>(font.constData() + 4);
        for (qsizetype entry = 12; entry + 16 <= font.size() && entry < 12 + 16 * count;
             entry += 16) {
            if (std::memcmp(font.constData() + entry, tag, 4) != 0)
                continue;
            const qsizetype start = qFromBigEndian<quint32>(font.constData() + entry + 8);
            if (start + offset + size > font.size())
                return nullptr;
            return font.data() + start + offset;
        }
        return nullptr;
    }

    // The width of the letter l's stem, in pixels at 1000 pixels to the em.
    qreal stemWidth(const QRawFont &font)
    {
        const QList<quint32> glyphs = font.glyphIndexesForString(u"l"_qs);
        return glyphs.isEmpty() ? 0.0 : font.pathForGlyph(glyphs.first()).boundingRect().width();
    }

    // fonts-wine's tahomabd.ttf has Tahoma Bold's advances and hand-drawn
    // bold bitmaps for 9 to 16 pixels, but its outlines are the regular
    // face's; antialiased text is drawn from the outlines, so "bold" Tahoma
    // came out as heavy as the regular. Such a face is registered as
    // semi-bold (600) instead of bold: asked for bold (700), Qt's FreeType
    // engine then thickens the strokes of a face that is lighter than bold,
    // and the text keeps the bold face's spacing. A bold face with bold
    // outlines is registered as it is.
    void registerBoldFace(const QString &boldPath, const QString &regularPath)
    {
        QFile file(boldPath);
        if (!file.open(QIODevice::ReadOnly))
            return;
        QByteArray font = file.readAll();
        const QRawFont bold(font, 1000);
        const QRawFont regular(regularPath, 1000);
        const bool thinOutlines
            = bold.isValid() && regular.isValid() && stemWidth(bold) < 1.1 * stemWidth(regular);
        char *weightClass = tableField(font, "OS/2", 4, 2);
        char *fsSelection = tableField(font, "OS/2", 62, 2);
        char *macStyle = tableField(font, "head", 44, 2);
        if (thinOutlines && weightClass && fsSelection && macStyle) {
            constexpr quint16 kSemiBold = 600;
            constexpr quint16 kSelectionBold = 0x20;
            constexpr quint16 kMacBold = 0x01;
            qToBigEndian<quint16>(kSemiBold, weightClass);
            qToBigEndian<quint16>(
                static_cast<quint16>(qFromBigEndian<quint16>(fsSelection) & ~kSelectionBold),
                fsSelection);
            qToBigEndian<quint16>(
                static_cast<quint16>(qFromBigEndian<quint16>(macStyle) & ~kMacBold), macStyle);
        }
        QFontDatabase::addApplicationFontFromData(font);
    }

} // namespace

int twips(int t)
{
    return static_cast<int>(std::lround(t / kTwipsPerPixel));
}

QRect twipsRect(int left, int top, int width, int height)
{
    return { twips(left), twips(top), twips(width), twips(height) };
}

void registerFonts()
{
    static const bool done = [] {
        const QString dir = QString::fromUtf16(kWineFonts);
        const QString regular = dir + u"tahoma.ttf"_qs;
        const QString bold = dir + u"tahomabd.ttf"_qs;
        if (QFile::exists(regular))
            QFontDatabase::addApplicationFont(regular);
        if (QFile::exists(bold))
            registerBoldFace(bold, regular);
        return true;
    }();
    Q_UNUSED(done);
}

QFont boxFont()
{
    return familyFont(8.25);
}

QFont labelFont(bool bold)
{
    QFont font = familyFont(9.0);
    if (bold)
        font.setWeight(QFont::Bold);
    return font;
}

QString buttonStyleSheet()
{
    const QString face
        = u"rgb(%1, %2, %3)"_qs.arg(kButtonFaceRed).arg(kButtonFaceGreen).arg(kButtonFaceBlue);
    // Light upper-left and dark lower-right edges raise the face off the
    // white background; pressed, they swap.
    return uR"(QPushButton {
    background-color: %1;
    color: palette(button-text);
    border: 1px solid;
    border-color: rgb(160, 160, 160) rgb(64, 64, 64) rgb(64, 64, 64) rgb(160, 160, 160);
    padding: 0px 2px;
}
QPushButton:focus {
    border-color: palette(window-text);
}
QPushButton:pressed {
    border-color: rgb(64, 64, 64) rgb(160, 160, 160) rgb(160, 160, 160) rgb(64, 64, 64);
}
QPushButton:disabled {
    color: palette(mid);
})"_qs.arg(face);
}

// What windows and message boxes share: the box colour behind, the font and
// the icon.
static void applyFaceLook(QWidget *window)
{
    QPalette palette = window->palette();
    palette.setColor(QPalette::Window, palette.color(QPalette::Base));
    window->setPalette(palette);
    window->setAutoFillBackground(true);
    window->setFont(boxFont());
    window->setWindowIcon(appIcon());
}

void applyWindowLook(QWidget *window, QSize clientSize)
{
    window->setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint
        | Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    window->setFixedSize(clientSize);
    applyFaceLook(window);
}

void applyMessageLook(QMessageBox *box)
{
    applyFaceLook(box);
    for (QAbstractButton *button : box->buttons()) {
        button->setStyleSheet(buttonStyleSheet());
        button->setMinimumSize(twips(780), twips(345));
        button->setIcon(QIcon());
    }
}

void centreOnScreen(QWidget *window)
{
    QScreen *screen = window->screen();
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect area = screen->geometry();
    const QSize size = window->frameGeometry().size();
    window->move(area.x() + (area.width() - size.width()) / 2,
        area.y() + (area.height() - size.height()) / 2);
}

QLabel *addLabel(QWidget *parent, const char16_t *name, const char16_t *caption, int left, int top,
    int width, int height, QWidget *buddy, bool bold)
{
    auto *label = new QLabel(QString::fromUtf16(caption), parent);
    label->setObjectName(QString::fromUtf16(name));
    label->setFont(labelFont(bold));
    label->setFocusPolicy(Qt::NoFocus);
    // A screen reader names a box after the label whose buddy it is.
    if (buddy)
        label->setBuddy(buddy);
    // The design's sizes are Tahoma's; with a fallback font a caption must
    // still show whole.
    QRect rect = twipsRect(left, top, width, height);
    const QSize fit = label->sizeHint();
    rect.setWidth(std::max(rect.width(), fit.width()));
    rect.setHeight(std::max(rect.height(), fit.height()));
    label->setGeometry(rect);
    return label;
}

QPushButton *addButton(QWidget *parent, const char16_t *name, const char16_t *caption, int left,
    int top, int width, int height)
{
    auto *button = new QPushButton(QString::fromUtf16(caption), parent);
    button->setObjectName(QString::fromUtf16(name));
    button->setGeometry(twipsRect(left, top, width, height));
    button->setStyleSheet(buttonStyleSheet());
    button->setAutoDefault(false);
    button->setDefault(false);
    return button;
}

QIcon appIcon()
{
    return QIcon(u":/tesmor/tesmor.png"_qs);
}

} // namespace Look
