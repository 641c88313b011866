#include "form1.h"

#include "builder.h"
#include "kr7version.h"
#include "layout.h"
#include "trafficlog.h"
#include "traffictap.h"

#include <QApplication>
#include <QFileInfo>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>

#include <array>

namespace kr7 {

using namespace panel;

// The command set's view of the link.
class Form1::LinkPath : public SendPath {
  public:
    explicit LinkPath(Link &link) : m_link(link) {}
    void setSendIntervals(Wait wait) override { m_link.setSendIntervals(wait.replyMs, wait.clearMs); }
    void sendLine(const QString &line) override { m_link.send(line); }
    bool linePending() const override { return m_link.linePending(); }
    void closeExchange() override { m_link.closeExchange(); }
    void emptyReceiveBuffer() override { m_link.emptyReceiveBuffer(); }

  private:
    Link &m_link;
};

namespace {
// How many characters can ever be seen in the field: its width over the narrowest character the monitor
// writes, and one cut at the edge. Laying out more than that is work nobody sees.
qsizetype visibleChars(const QLabel *label) {
    const QFontMetrics metrics(label->font());
    int narrowest = metrics.horizontalAdvance(QLatin1Char(' '));
    for (char16_t c = 0x21; c < 0x7F; ++c)
        narrowest = std::min(narrowest, metrics.horizontalAdvance(QChar(c)));
    const qsizetype fits = label->contentsRect().width() / std::max(1, narrowest) + 2;
    return std::clamp<qsizetype>(fits, 1, Form1::kFieldDisplayMax);
}

void showField(QLabel *label, qsizetype chars, QStringView text) {
    const QStringView shown = text.first(std::min(text.size(), chars));
    if (label->text() != shown) // a streaming device changes the buffer, not always what fits in view
        label->setText(shown.toString());
}
} // namespace

template <typename T> T *Form1::control(std::string_view name) const {
    T *w = qobject_cast<T *>(m_controls.value(toQString(name)));
    if (!w)
        qFatal("Form1: the layout has no %s of the expected kind", std::string(name).c_str());
    return w;
}

Form1::Form1(PortMap ports, QWidget *parent)
    : QWidget(parent), m_MSComm1(std::move(ports)), m_link(m_MSComm1), m_path(new LinkPath(m_link)),
      m_commands(*m_path) {
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(toQString(kCaption));
    if (const QScreen *screen = QGuiApplication::primaryScreen())
        m_dpi = screen->logicalDotsPerInchY();
    installFontSubstitutes();
    setFont(panelFont('A'));
    QPalette pal = palette();
    pal.setColor(QPalette::Window, fromBgr(kGrey));
    setPalette(pal);
    setAutoFillBackground(true);
    // The layout is absolute: no maximise, no resize.
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);

    m_controls = buildPanel(this, m_dpi);
    m_portFrame = control<QFrame>("Frame8");
    m_com1Option = control<QRadioButton>("Option1");
    m_com2Option = control<QRadioButton>("Option2");
    m_speed19200 = control<QRadioButton>("Option9");
    m_speed9600 = control<QRadioButton>("Option10");
    m_comButton = control<QPushButton>("Command33");
    m_endButton = control<QPushButton>("Command16");
    m_dataToggle = control<QPushButton>("Command34");
    m_sendButton = control<QPushButton>("Command95");
    m_clearButton = control<QPushButton>("Command96");
    m_commandEntry = control<QLineEdit>("Text1");
    m_txdField = control<QLabel>("Label11");
    m_rxdField = control<QLabel>("Label12");
    m_statusField = control<QLabel>("Label22");
    m_picture = control<PictureBox>("Image1");

    m_Timer3.setInterval(5000);
    connect(&m_Timer3, &QTimer::timeout, this, &Form1::Timer3_Timer);

    m_link.setPrefixSource([this] { return m_commands.AddressPrefix(); });
    m_txdChars = visibleChars(m_txdField);
    m_rxdChars = visibleChars(m_rxdField);
    m_statusChars = visibleChars(m_statusField);
    connect(&m_link, &Link::txdChanged, this,
            [this](const QString &t) { showField(m_txdField, m_txdChars, t); });
    connect(&m_link, &Link::rxdChanged, this, &Form1::showRxd);
    m_rxdLater.setSingleShot(true);
    connect(&m_rxdLater, &QTimer::timeout, this, &Form1::showRxd);
    connect(&m_link, &Link::statusChanged, this,
            [this](const QString &t) { showField(m_statusField, m_statusChars, t); });
    connect(&m_MSComm1, &SerialLine::stateChanged, this, &Form1::updateTitle);
    connect(&m_MSComm1, &SerialLine::opened, this, &Form1::onOpened);
    connect(&m_MSComm1, &SerialLine::openFailed, this, &Form1::onOpenFailed);
    connect(&m_MSComm1, &SerialLine::portBack, this, [this] {
        m_backShown = true;
        m_backTimer.start();
        updateTitle();
    });
    m_backTimer.setSingleShot(true);
    m_backTimer.setInterval(kBackNoticeMs);
    connect(&m_backTimer, &QTimer::timeout, this, [this] {
        m_backShown = false;
        updateTitle();
    });

    wireButtons();
    // The keyboard starts where it always has, on POWER ON, though the picture above it now comes first in
    // the reading order.
    control<QWidget>("Command17")->setFocus();
    qApp->installEventFilter(this);
}

Form1::~Form1() {
    qApp->removeEventFilter(this);
    m_commands.Timer1().stop();
}

void Form1::showRxd() {
    // A device that streams changes the RXD text hundreds of times a second, and drawing it each time
    // costs more than all the rest of the receive path; the eye takes in a few dozen frames. What was
    // received shows at most every kRxdRepaintMs, always the latest; markers and notices show at once. The
    // field shows the start of the text: while only its end grows there is nothing to draw, nor to wait for.
    const QStringView rxd = m_link.rxd();
    if (m_link.rxdShowsReceived() && m_rxdField->text() == rxd.first(std::min(rxd.size(), m_rxdChars))) {
        m_rxdLater.stop();
        return;
    }
    if (m_link.rxdShowsReceived() && m_rxdShown.isValid() && m_rxdShown.elapsed() < kRxdRepaintMs) {
        if (!m_rxdLater.isActive())
            m_rxdLater.start(int(kRxdRepaintMs - m_rxdShown.elapsed()));
        return;
    }
    m_rxdLater.stop();
    showField(m_rxdField, m_rxdChars, rxd);
    if (m_link.rxdShowsReceived())
        m_rxdShown.start();
}

QString Form1::portLabel() const {
    return QStringLiteral("COM%1").arg(m_MSComm1.commPort());
}

void Form1::setLog(traffic::TrafficLog *log) {
    m_log = log;
    m_tap = std::make_unique<TrafficTap>(*log, [this] { return portLabel(); });
    m_tap->watchPort(m_MSComm1);
    m_tap->watchExchanges(m_link);
    connect(log, &traffic::TrafficLog::failed, this, &Form1::updateTitle);
    updateTitle();
}

namespace {
// What the controls outside the command catalogue do, for assistive technology.
struct About {
    std::string_view name;
    std::string_view text;
};
constexpr std::array<About, 9> kAbout{{
    {"Command33", "Port settings: shows the choice of port and line speed"},
    {"Command16", "END: closes the port and ends the program"},
    {"Command34", "Shows or hides the traffic monitor and the status queries"},
    {"Command95", "SEND: sends the typed command with the selected address"},
    {"Command96", "CLS: empties the command field"},
    {"Text1", "Command to send, as typed"},
    {"Option9", "Line speed 19200 bit/s, 8 data bits, no parity, 1 stop bit"},
    {"Option10", "Line speed 9600 bit/s, 8 data bits, no parity, 1 stop bit"},
    {"Image1", "Opens the full view, after the service chord Ctrl+K"},
}};
} // namespace

void Form1::wireButtons() {
    for (const OneShot &row : kOneShots) {
        auto *button = control<QPushButton>(row.name);
        button->setAccessibleDescription(describe(row));
        connect(button, &QPushButton::clicked, this, [this, &row] { m_commands.click(row); });
    }
    // Press and release of the repeat buttons come from the mouse and key events (seen by the
    // application-wide filter): the button's own signals know the left button only and come at the release.
    for (const Repeat &row : kRepeats) {
        auto *button = control<QPushButton>(row.name);
        button->setAccessibleDescription(describe(row));
        m_repeatButtons.insert(button, &row);
    }
    for (const Address &a : kAddresses) {
        auto *option = control<QRadioButton>(a.option);
        option->setAccessibleDescription(describe(a));
        connect(option, &QRadioButton::clicked, this, [this, &a] { m_commands.selectAddress(a.option); });
    }
    for (const About &about : kAbout)
        control<QWidget>(about.name)->setAccessibleDescription(toQString(about.text));
    m_com1Option->setAccessibleDescription(QStringLiteral("COM1: opens %1").arg(m_MSComm1.device(1)));
    m_com2Option->setAccessibleDescription(QStringLiteral("COM2: opens %1").arg(m_MSComm1.device(2)));
    m_picture->setAccessibleName(QStringLiteral("VANO"));
    m_commandEntry->setAccessibleName(QStringLiteral("CMD"));
    connect(m_com1Option, &QRadioButton::clicked, this, [this] { portChange(1); });
    connect(m_com2Option, &QRadioButton::clicked, this, [this] { portChange(2); });
    connect(m_speed19200, &QRadioButton::clicked, this,
            [this] { speedChange(QStringLiteral("19200,N,8,1")); });
    connect(m_speed9600, &QRadioButton::clicked, this, [this] { speedChange(QStringLiteral("9600,N,8,1")); });
    connect(m_comButton, &QPushButton::clicked, this, &Form1::Command33_Click);
    connect(m_dataToggle, &QPushButton::clicked, this, &Form1::Command34_Click);
    connect(m_endButton, &QPushButton::clicked, this, &Form1::Command16_Click);
    connect(m_sendButton, &QPushButton::clicked, this,
            [this] { m_commands.sendText(m_commandEntry->text()); });
    connect(m_clearButton, &QPushButton::clicked, this, [this] { m_commandEntry->setText(QString()); });
    connect(m_picture, &PictureBox::doubleClicked, this, &Form1::Image1_DblClick);
}

std::optional<QString> Form1::Form_Load() {
    m_LineSettings = QStringLiteral("19200,N,8,1");
    m_commands.reset();
    // Centred with the design size; the compact height then keeps the top edge, so the window sits above
    // the centre.
    if (const QScreen *screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        const int w = twipsToPixels(kClientWidth, m_dpi);
        const int h = twipsToPixels(kClientHeight + kNominalFrame, m_dpi);
        move(area.x() + (area.width() - w) / 2, area.y() + (area.height() - h) / 2);
    }
    setView(kCompactHeight);
    m_link.reset();
    m_MSComm1.setCommPort(1);
    m_MSComm1.setSettings(m_LineSettings);
    if (m_log) // heads the run, so that runs appended to one file are told apart
        m_log->sessionStart(QStringLiteral("kr7-control"),
                            QStringLiteral("COM1 %1, COM2 %2; %3")
                                .arg(m_MSComm1.device(1), m_MSComm1.device(2), m_LineSettings));
    switch (m_MSComm1.setPortOpen(true)) {
    case SerialLine::OpenResult::Failed:
        return m_MSComm1.errorString();
    case SerialLine::OpenResult::Pending:
        m_starting = true; // a network port: startFailed() if it does not connect
        break;
    case SerialLine::OpenResult::Open:
        break;
    }
    // COM1 is selected as the port just opened; choosing it again would only close and reopen it.
    m_com1Option->setChecked(true);
    updateTitle();
    return std::nullopt;
}

void Form1::setView(int outerTwips) {
    // A held button may leave the view, and its release with it: end the repetition now.
    if (m_held)
        endHeldRepeat();
    m_outerHeight = outerTwips;
    setFixedSize(twipsToPixels(kClientWidth, m_dpi), twipsToPixels(outerTwips - kNominalFrame, m_dpi));
}

void Form1::portChange(int port) {
    m_starting = false;
    m_pendingChange = 0;
    // The chosen port is opened whatever state the line was in: after a failed change or a lost device it
    // is closed, and hiding the frame then would report a success that did not happen. A port that is
    // already connecting is left to finish.
    if (m_MSComm1.state() == SerialLine::State::Opening && m_MSComm1.commPort() == port) {
        m_pendingChange = port;
        return;
    }
    if (m_MSComm1.state() != SerialLine::State::Closed)
        m_MSComm1.setPortOpen(false);
    m_MSComm1.setCommPort(port);
    switch (m_MSComm1.setPortOpen(true)) {
    case SerialLine::OpenResult::Open:
        m_portFrame->hide();
        break;
    case SerialLine::OpenResult::Failed:
        portChangeFailed(m_MSComm1.errorString());
        break;
    case SerialLine::OpenResult::Pending:
        m_pendingChange = port; // the frame stays in view until the connection is made
        break;
    }
}

void Form1::portChangeFailed(const QString &error) {
    m_MSComm1.setCommPort(m_MSComm1.commPort() == 1 ? 2 : 1);
    showPortWarning(error);
    // the frame stays in view and the chosen option stays selected
}

void Form1::onOpened() {
    m_starting = false;
    if (m_pendingChange) {
        m_pendingChange = 0;
        m_portFrame->hide();
    }
}

void Form1::onOpenFailed(const QString &error) {
    if (m_starting) {
        m_starting = false;
        emit startFailed(error);
    } else if (m_pendingChange) {
        m_pendingChange = 0;
        portChangeFailed(error);
    }
}

void Form1::speedChange(const QString &settings) {
    m_LineSettings = settings;
    m_MSComm1.setSettings(m_LineSettings);
    m_portFrame->hide();
}

void Form1::showPortWarning(const QString &text) {
    // Not exec(): the panel's timers and the line go on while the box is up.
    auto *box = new QMessageBox(QMessageBox::Warning, windowTitle(), text, QMessageBox::Ok, this);
    box->setObjectName(QStringLiteral("portWarning"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

void Form1::updateTitle() {
    // Every view shows the title bar: the state of the line is said there as long as it lasts.
    QString title = toQString(kCaption);
    const QString port = QStringLiteral("COM%1 %2").arg(m_MSComm1.commPort()).arg(m_MSComm1.device());
    switch (m_MSComm1.state()) {
    case SerialLine::State::Open:
        if (m_backShown)
            title += QStringLiteral("  - PORT BACK: ") + port;
        break;
    case SerialLine::State::Closed:
        title += QStringLiteral("  - PORT CLOSED");
        break;
    case SerialLine::State::Opening:
        title += QStringLiteral("  - CONNECTING: ") + port;
        break;
    case SerialLine::State::Waiting:
        title += QStringLiteral("  - PORT LOST, WAITING FOR IT: ") + port;
        break;
    }
    if (m_log && m_log->hasFailed())
        title += QStringLiteral("  - LOG STOPPED: ") + m_log->failure();
    else if (m_log)
        title += QStringLiteral("  - LOG: ") + QFileInfo(m_log->path()).fileName();
    setWindowTitle(title);
}

void Form1::Command33_Click() {
    m_portFrame->show();
    m_portFrame->raise(); // drawn over the COM button
    m_Timer3.start();
}

void Form1::Timer3_Timer() {
    m_portFrame->hide();
    m_Timer3.stop();
}

void Form1::Command16_Click() {
    m_MSComm1.setPortOpen(false);
    close();
}

void Form1::Form_KeyDown() {
    setView(kEnlargedHeight);
    m_ServiceViewOpen = true;
    m_dataToggle->setText(QStringLiteral("CLOSE"));
    m_dataToggle->show();
}

void Form1::Image1_DblClick() {
    if (!m_ServiceViewOpen)
        return;
    setView(kFullHeight);
    m_dataToggle->setText(QStringLiteral("CLOSE"));
    m_dataToggle->show();
}

void Form1::Command34_Click() {
    m_Timer3.stop();
    m_ServiceViewOpen = false;
    if (m_outerHeight < kToggleThreshold) {
        setView(kDataHeight);
        m_dataToggle->setText(QStringLiteral("データを表示しない"));
    } else {
        setView(kCompactHeight);
        m_dataToggle->setText(QStringLiteral("データを表示する"));
    }
    m_Timer3.start();
}

void Form1::endHeldRepeat() {
    const Repeat *held = m_held;
    m_held = nullptr;
    m_heldKey = 0;
    m_commands.release(held);
}

namespace {
bool isActivationKey(int key) {
    return key == Qt::Key_Space || key == Qt::Key_Return || key == Qt::Key_Enter;
}
} // namespace

bool Form1::eventFilter(QObject *watched, QEvent *event) {
    // Every event of the application passes here (paints and timers hundreds of times a second while a
    // device streams): only keys and the few events of a held button are looked at.
    const QEvent::Type type = event->type();
    switch (type) {
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseButtonRelease:
    case QEvent::Hide:
    case QEvent::UngrabMouse:
    case QEvent::FocusOut:
        break;
    default:
        return false;
    }
    const auto repeat = m_repeatButtons.constFind(watched);
    const bool onRepeat = repeat != m_repeatButtons.constEnd();
    if (type == QEvent::KeyPress || type == QEvent::KeyRelease) {
        auto *w = qobject_cast<QWidget *>(watched);
        auto *key = static_cast<QKeyEvent *>(event);
        const Qt::KeyboardModifiers mods =
            key->modifiers() & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier);
        // The service chord, Ctrl+K, wherever the focus is; the K never reaches the focused field.
        if (type == QEvent::KeyPress && w && w->window() == this && key->key() == Qt::Key_K &&
            mods == Qt::ControlModifier) {
            Form_KeyDown();
            return true;
        }
        if (!isActivationKey(key->key()))
            return false;
        // Enter in the command field is SEND, once however long it is held; other keys stay the field's.
        if (watched == m_commandEntry && key->key() != Qt::Key_Space && mods == Qt::NoModifier) {
            if (type == QEvent::KeyPress && !key->isAutoRepeat())
                m_sendButton->click();
            return true;
        }
        if (onRepeat) {
            // Held Space (or Enter) is a held mouse button: press at key-down, release at key-up. The
            // keyboard's own repeats change nothing: the repeat timer keeps the pace.
            if (key->isAutoRepeat())
                return true;
            if (type == QEvent::KeyPress) {
                m_held = *repeat;
                m_heldKey = key->key();
                m_commands.press(**repeat);
            } else if (m_held && key->key() == m_heldKey) {
                endHeldRepeat();
            }
            return false; // the button shows itself pressed and released
        }
        // Enter on any other button is one click, however long it is held (Space is, by Qt itself).
        auto *button = qobject_cast<QPushButton *>(watched);
        if (button && button->window() == this && key->key() != Qt::Key_Space) {
            if (type == QEvent::KeyPress && !key->isAutoRepeat())
                button->click();
            return true;
        }
        return false;
    }
    if (onRepeat) {
        switch (type) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonDblClick: // a quick second press is still a press
            m_held = *repeat;
            m_heldKey = 0;
            m_commands.press(**repeat);
            break;
        case QEvent::MouseButtonRelease:
            if (m_held)
                endHeldRepeat();
            else
                m_commands.release(*repeat);
            break;
        case QEvent::Hide:
        case QEvent::UngrabMouse:
        case QEvent::FocusOut: // Tab, another window, a popup: nothing would ever send the release
            if (m_held == *repeat)
                endHeldRepeat();
            break;
        default:
            break;
        }
    }
    return false;
}

void Form1::changeEvent(QEvent *event) {
    // A window that loses the mouse or the focus never sees the release: the lens must not keep moving.
    if ((event->type() == QEvent::ActivationChange && !isActiveWindow()) && m_held)
        endHeldRepeat();
    QWidget::changeEvent(event);
}

} // namespace kr7
