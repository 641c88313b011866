#include "builder.h"

#include "readingorder.h"

#include <QButtonGroup>
#include <QFrame>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QStyleOptionButton>
#include <QStylePainter>

#include <cmath>

namespace kr7::panel {

int twipsToPixels(int twips, double dpi) {
    return int(std::lround(twips * dpi / 1440.0));
}

QColor fromBgr(uint32_t bgr) {
    return QColor(bgr & 0xFF, (bgr >> 8) & 0xFF, (bgr >> 16) & 0xFF);
}

QString toQString(std::string_view utf8) {
    return QString::fromUtf8(utf8.data(), qsizetype(utf8.size()));
}

void installFontSubstitutes() {
    QFont::insertSubstitution(toQString(kGothic), QStringLiteral("IPAGothic"));
    QFont::insertSubstitution(toQString(kPGothic), QStringLiteral("IPAPGothic"));
}

QFont panelFont(char code) {
    const FontSpec *entry = &kFonts[0];
    for (const FontSpec &f : kFonts)
        if (f.code == code)
            entry = &f;
    QFont font(toQString(entry->face));
    font.setPointSizeF(entry->points);
    font.setWeight(entry->weight >= 700 ? QFont::Bold : QFont::Normal);
    return font;
}

PictureBox::PictureBox(QWidget *parent) : QLabel(parent) {
    setTextFormat(Qt::PlainText);
    setPixmap(wordMark());
    setScaledContents(true);
    setFocusPolicy(Qt::StrongFocus);
}

QPixmap PictureBox::wordMark() {
    QPixmap pixmap(80, 26);
    pixmap.fill(fromBgr(0x00B4B4B4));
    QPainter painter(&pixmap);
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(20);
    font.setBold(true);
    font.setItalic(true);
    painter.setFont(font);
    painter.setPen(QColor(0xC0, 0x00, 0x00));
    painter.drawText(pixmap.rect(), Qt::AlignCenter, QStringLiteral("VANO"));
    return pixmap;
}

void PictureBox::mouseDoubleClickEvent(QMouseEvent *event) {
    emit doubleClicked();
    QLabel::mouseDoubleClickEvent(event);
}

void PictureBox::keyPressEvent(QKeyEvent *event) {
    const int key = event->key();
    if ((key == Qt::Key_Space || key == Qt::Key_Return || key == Qt::Key_Enter) && !event->isAutoRepeat()) {
        emit doubleClicked();
        return;
    }
    QLabel::keyPressEvent(event);
}

void PictureBox::paintEvent(QPaintEvent *event) {
    QLabel::paintEvent(event);
    if (!showsKeyboardFocus(this))
        return;
    QPainter painter(this);
    drawFocusFrame(painter, rect());
}

void PanelButton::paintEvent(QPaintEvent *) {
    QStylePainter painter(this);
    QStyleOptionButton option;
    initStyleOption(&option);
    const QString caption = option.text;
    option.text.clear();
    painter.drawControl(QStyle::CE_PushButton, option);
    QRect area = rect();
    if (isDown())
        area.translate(1, 1);
    painter.setPen(palette().color(QPalette::ButtonText));
    painter.drawText(area, Qt::AlignCenter | Qt::TextWordWrap, caption);
    if (showsKeyboardFocus(this))
        drawFocusFrame(painter, rect());
}

bool showsKeyboardFocus(const QWidget *w) {
    // As the platform does: once the keyboard has moved the focus in the window, not for a mouse user.
    return w->hasFocus() && w->window()->testAttribute(Qt::WA_KeyboardFocusChange);
}

void drawFocusFrame(QPainter &painter, const QRect &area) {
    // Dark blue, two pixels: plain to see on every one of the panel's pale colours and on the grey.
    painter.setPen(QPen(QColor(0, 0, 0xC0), 2));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(area.adjusted(1, 1, -1, -1));
}

namespace {

QString cssColour(uint32_t bgr) {
    return fromBgr(bgr).name();
}

QString buttonStyle(uint32_t back) {
    // Drawn like a graphical command button: its back colour shows, raised when up, sunken when down. The
    // button draws the keyboard focus itself (PanelButton).
    return QStringLiteral("QPushButton { background-color: %1; color: black; border: 1px solid;"
                          " border-color: #ffffff #404040 #404040 #ffffff; padding: 0px; }"
                          " QPushButton:pressed { border-color: #404040 #ffffff #ffffff #404040; }"
                          " QPushButton:focus { outline: none; }")
        .arg(cssColour(back));
}

void paintBackground(QWidget *w, const Control &c) {
    if (c.back == kDefaultColour)
        return;
    QPalette pal = w->palette();
    pal.setColor(QPalette::Window, fromBgr(c.back));
    pal.setColor(QPalette::WindowText, fromBgr(c.fore));
    w->setPalette(pal);
    w->setAutoFillBackground(true);
}

Qt::Alignment alignmentOf(Align a) {
    switch (a) {
    case Align::Center:
        return Qt::AlignHCenter | Qt::AlignTop;
    case Align::Right:
        return Qt::AlignRight | Qt::AlignTop;
    case Align::Left:
        break;
    }
    return Qt::AlignLeft | Qt::AlignTop;
}

QWidget *makeControl(const Control &c, QWidget *parent) {
    const QString caption = toQString(c.caption);
    switch (c.kind) {
    case Kind::Frame: {
        auto *frame = new QFrame(parent);
        frame->setFrameStyle(QFrame::Box | QFrame::Sunken); // etched, like a frame without a title
        paintBackground(frame, c);
        return frame;
    }
    case Kind::Label: {
        auto *label = new QLabel(caption, parent);
        label->setTextFormat(Qt::PlainText); // labels show line data: never interpret it as markup
        label->setAlignment(alignmentOf(c.align));
        if (c.border)
            label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        paintBackground(label, c);
        return label;
    }
    case Kind::Button: {
        auto *button = new PanelButton(caption, parent);
        button->setAutoDefault(false);
        if (c.back != kDefaultColour)
            button->setStyleSheet(buttonStyle(c.back));
        return button;
    }
    case Kind::Option: {
        auto *option = new QRadioButton(caption, parent);
        option->setChecked(c.checked);
        paintBackground(option, c);
        return option;
    }
    case Kind::TextBox:
        return new QLineEdit(parent);
    case Kind::Image:
        return new PictureBox(parent);
    }
    return nullptr;
}

class LineWidget : public QWidget {
  public:
    using QWidget::QWidget;

  protected:
    void paintEvent(QPaintEvent *) override {
        QPainter p(this);
        p.fillRect(rect(), fromBgr(kLineColour));
    }
};

} // namespace

QHash<QString, QWidget *> buildPanel(QWidget *window, double dpi) {
    const auto px = [dpi](int twips) { return twipsToPixels(twips, dpi); };
    QHash<QString, QWidget *> byName;
    for (const Control &c : kControls) {
        QWidget *parent = c.container.empty() ? window : byName.value(toQString(c.container));
        Q_ASSERT(parent); // containers come before their controls in the table
        QWidget *w = makeControl(c, parent);
        w->setObjectName(toQString(c.name));
        // A control without a font of its own takes the window's font, even inside a frame with another.
        w->setFont(panelFont(c.font ? c.font : 'A'));
        w->setGeometry(px(c.left), px(c.top), px(c.width), px(c.height));
        w->setVisible(!c.hidden);
        byName.insert(w->objectName(), w);
    }
    for (const Line &l : kLines) {
        auto *w = new LineWidget(window);
        w->setObjectName(toQString(l.name));
        const int x = px(std::min(l.x1, l.x2)), y = px(std::min(l.y1, l.y2));
        const int width = std::max(px(std::abs(l.x2 - l.x1)), kLineWidthPx);
        const int height = std::max(px(std::abs(l.y2 - l.y1)), kLineWidthPx);
        w->setGeometry(x, y, width, height);
        w->lower();
        byName.insert(w->objectName(), w);
    }
    // The option buttons of each frame form one group, and only those: a frame within a frame (the speed
    // within the port settings) is a group of its own. Tab stops at a group's chosen option; the arrow keys
    // choose within it.
    QHash<QString, QButtonGroup *> groups;
    for (const Control &c : kControls) {
        if (c.kind != Kind::Option)
            continue;
        QButtonGroup *&group = groups[toQString(c.container)];
        if (!group)
            group = new QButtonGroup(byName.value(toQString(c.container)));
        group->addButton(qobject_cast<QRadioButton *>(byName.value(toQString(c.name))));
    }
    // The focus chain follows the panel's reading order; hidden controls are passed over by Qt itself.
    QWidget *previous = nullptr;
    for (const Control *c : readingOrder()) {
        QWidget *w = byName.value(toQString(c->name));
        if (previous)
            QWidget::setTabOrder(previous, w);
        previous = w;
    }
    return byName;
}

} // namespace kr7::panel
