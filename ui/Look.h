#pragma once

#include <QFont>
#include <QIcon>
#include <QRect>
#include <QSize>
#include <QString>

class QLabel;
class QMessageBox;
class QPushButton;
class QWidget;

// The look both windows share: twips geometry, Tahoma, the button face
// colour, the text-area background, a fixed border and the program's icon.
namespace Look {

// Twips to device-independent pixels, 15 to a pixel; Qt scales those on
// high-DPI screens.
int twips(int t);
QRect twipsRect(int left, int top, int width, int height);

// Makes Tahoma from fonts-wine known to Qt, once; harmless when it is absent.
// fonts-wine's bold face has regular outlines: Qt is made to thicken them.
void registerFonts();

// Text boxes and buttons: Tahoma 8.25 pt.
QFont boxFont();
// Labels: Tahoma 9 pt.
QFont labelFont(bool bold = false);

// Button face colour, red 200, green 213, blue 232.
inline constexpr int kButtonFaceRed = 200;
inline constexpr int kButtonFaceGreen = 213;
inline constexpr int kButtonFaceBlue = 232;
// A style sheet for buttons: styles draw their own face unless the sheet
// gives the button a border, so it draws a raised frame around the colour.
QString buttonStyleSheet();

// Top-level window with a fixed border and a close box only, a client area
// of exactly clientSize, the text-area background, box font and icon.
void applyWindowLook(QWidget *window, QSize clientSize);

// A message box in the windows' look: their font, background and icon, its
// buttons in the windows' face and size, with no icon of the style's own
// (Fusion puts a tick on OK); the information icon stays.
void applyMessageLook(QMessageBox *box);

// Moves window so that it sits in the middle of its screen.
void centreOnScreen(QWidget *window);

// A label at a twips position, in the label font, fitted to its caption
// (the design's sizes are Tahoma's; with a fallback font the caption must
// still show whole). Labels never take the focus. A label captioning a box
// has it as buddy: the box's accessible name is then the caption, so a
// screen reader announces the box by its label.
QLabel *addLabel(QWidget *parent, const char16_t *name, const char16_t *caption, int left, int top,
    int width, int height, QWidget *buddy = nullptr, bool bold = false);
// A button at a twips position in the shared face colour; never a default
// button, so Enter does not press it. Its accessible name is the caption
// without the access key's "&".
QPushButton *addButton(QWidget *parent, const char16_t *name, const char16_t *caption, int left,
    int top, int width, int height);

// The application icon, 32 by 32.
QIcon appIcon();

} // namespace Look
