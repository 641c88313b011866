#pragma once

#include "layout.h"

#include <QColor>
#include <QFont>
#include <QHash>
#include <QLabel>
#include <QPushButton>
#include <QString>

class QPainter;
class QWidget;

namespace kr7::panel {

// Twips to pixels at the given logical DPI (15 twips a pixel at 96 dpi).
int twipsToPixels(int twips, double dpi);
// 0x00BBGGRR to a colour.
QColor fromBgr(uint32_t bgr);
QString toQString(std::string_view utf8);

// The Japanese faces the panel was drawn with are missing on Linux: map them to the IPA Gothic faces, whose
// metrics are close and which render the Japanese captions. Call once before building.
void installFontSubstitutes();
// Font code 'A'..'J'; any other code gives font A, the window's font.
QFont panelFont(char code);

// The keyboard focus frame of the panel's own controls, shown once the keyboard has moved the focus.
bool showsKeyboardFocus(const QWidget *w);
void drawFocusFrame(QPainter &painter, const QRect &area);

// A command button whose caption wraps onto a second line when the button is tall enough, as the long
// captions of the right-hand column expect ("DISPLAY CLEAR").
class PanelButton : public QPushButton {
    Q_OBJECT
  public:
    using QPushButton::QPushButton;

  protected:
    void paintEvent(QPaintEvent *event) override;
};

// The picture in the top right corner: the red word mark on grey, with a double-click. It takes the
// keyboard focus too, and Space or Enter on it is the double-click, so the full view is reachable without
// a mouse.
class PictureBox : public QLabel {
    Q_OBJECT
  public:
    explicit PictureBox(QWidget *parent = nullptr);
    static QPixmap wordMark();
  signals:
    void doubleClicked();

  protected:
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
};

// Builds every control of the layout table and the lines of the cross on window, by name, and chains the
// keyboard focus through them in reading order.
QHash<QString, QWidget *> buildPanel(QWidget *window, double dpi);

} // namespace kr7::panel
