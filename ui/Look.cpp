#include "ui/Look.h"

#include <QFile>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QLabel>
#include <QPalette>
#include <QPushButton>
#include <QScreen>
#include <QStringList>
#include <QWidget>

#include <cmath>

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
        for (const char16_t *file : { u"tahoma.ttf", u"tahomabd.ttf" }) {
            const QString path = dir + QString::fromUtf16(file);
            if (QFile::exists(path))
                QFontDatabase::addApplicationFont(path);
        }
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

void applyWindowLook(QWidget *window, QSize clientSize)
{
    window->setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint
        | Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    window->setFixedSize(clientSize);

    QPalette palette = window->palette();
    palette.setColor(QPalette::Window, palette.color(QPalette::Base));
    window->setPalette(palette);
    window->setAutoFillBackground(true);

    window->setFont(boxFont());
    window->setWindowIcon(appIcon());
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
    int width, int height, bool bold)
{
    auto *label = new QLabel(QString::fromUtf16(caption), parent);
    label->setObjectName(QString::fromUtf16(name));
    label->setFont(labelFont(bold));
    label->setFocusPolicy(Qt::NoFocus);
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
