#pragma once

#include "catalogue.h"
#include "commandset.h"
#include "link.h"
#include "serialline.h"

#include <QElapsedTimer>
#include <QHash>
#include <QTimer>
#include <QWidget>

#include <memory>
#include <optional>

class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace kr7::panel {
class PictureBox;
}
namespace kr7::traffic {
class TrafficLog;
}

namespace kr7 {

class TrafficTap;

// The control panel window: start-up, views, port and speed, END, the service chord, and the wiring of the
// controls' events to the command set and the link.
class Form1 : public QWidget {
    Q_OBJECT
  public:
    explicit Form1(PortMap ports, QWidget *parent = nullptr);
    ~Form1() override;

    // Records the session in log from the load step on (call before Form_Load).
    void setLog(traffic::TrafficLog *log);

    // The load step. On a port that cannot be opened, the error text (naming the device); the caller shows
    // it and ends the program. A network port connects afterwards: startFailed() if it does not.
    std::optional<QString> Form_Load();

    // Outer height in twips, the measure the views are defined by.
    int outerHeightTwips() const { return m_outerHeight; }
    bool ServiceViewOpen() const { return m_ServiceViewOpen; }
    const QString &LineSettings() const { return m_LineSettings; }
    QTimer &Timer3() { return m_Timer3; }
    Link &link() { return m_link; }
    CommandSet &commands() { return m_commands; }
    SerialLine &MSComm1() { return m_MSComm1; }
    double dpi() const { return m_dpi; }
    // How much of the RXD text its field shows (what its width can ever show).
    qsizetype rxdChars() const { return m_rxdChars; }

    // Event handlers, named after control and event.
    void Form_KeyDown();
    void Image1_DblClick();
    void Command33_Click();
    void Command34_Click();
    void Command16_Click();
    void Timer3_Timer();
    void portChange(int port);
    void speedChange(const QString &settings);

    // Sets the window's outer height (twips) and so the view.
    void setView(int outerTwips);

    // Longest text a monitor field shows; the field holds more than fits on its one line anyway.
    static constexpr qsizetype kFieldDisplayMax = 256;
    // The RXD field shows a streaming device's text at most this often.
    static constexpr int kRxdRepaintMs = 20;
    // How long the title says that a lost port is back.
    static constexpr int kBackNoticeMs = 10000;

  signals:
    // The port opened at start-up could not connect; the caller shows the text and ends the program.
    void startFailed(const QString &error);

  protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void changeEvent(QEvent *event) override;

  private:
    class LinkPath;
    void wireButtons();
    void endHeldRepeat();
    void updateTitle();
    void showPortWarning(const QString &text);
    void portChangeFailed(const QString &error);
    void onOpened();
    void onOpenFailed(const QString &error);
    void showRxd();
    QString portLabel() const;
    // The control built under this name; a table that lost it is a broken build, so this stops the program.
    template <typename T> T *control(std::string_view name) const;

    double m_dpi = 96.0;
    QHash<QString, QWidget *> m_controls;
    // The controls wired by hand, looked up once.
    QFrame *m_portFrame = nullptr;           // Frame8: port and speed
    QRadioButton *m_com1Option = nullptr;    // Option1
    QRadioButton *m_com2Option = nullptr;    // Option2
    QRadioButton *m_speed19200 = nullptr;    // Option9
    QRadioButton *m_speed9600 = nullptr;     // Option10
    QPushButton *m_comButton = nullptr;      // Command33
    QPushButton *m_endButton = nullptr;      // Command16
    QPushButton *m_dataToggle = nullptr;     // Command34
    QPushButton *m_sendButton = nullptr;     // Command95
    QPushButton *m_clearButton = nullptr;    // Command96
    QLineEdit *m_commandEntry = nullptr;     // Text1
    QLabel *m_txdField = nullptr;            // Label11
    QLabel *m_rxdField = nullptr;            // Label12
    QLabel *m_statusField = nullptr;         // Label22
    qsizetype m_txdChars = kFieldDisplayMax; // characters each field can show
    qsizetype m_rxdChars = kFieldDisplayMax;
    qsizetype m_statusChars = kFieldDisplayMax;
    panel::PictureBox *m_picture = nullptr; // Image1
    SerialLine m_MSComm1;
    Link m_link;
    std::unique_ptr<LinkPath> m_path;
    CommandSet m_commands;
    QTimer m_Timer3;
    QString m_LineSettings;
    bool m_ServiceViewOpen = false;
    int m_outerHeight = 0;
    bool m_starting = false; // the start-up port is still connecting
    int m_pendingChange = 0; // the port a change is connecting to
    bool m_backShown = false;
    QTimer m_backTimer;
    QElapsedTimer m_rxdShown; // since the RXD field last showed received text
    QTimer m_rxdLater;
    traffic::TrafficLog *m_log = nullptr;
    std::unique_ptr<TrafficTap> m_tap;
    const Repeat *m_held = nullptr; // the press-and-hold button now down
    int m_heldKey = 0;              // the key that holds it, 0 for the mouse
    QHash<QObject *, const Repeat *> m_repeatButtons;
};

} // namespace kr7
