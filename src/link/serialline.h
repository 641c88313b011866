#pragma once

#include "port.h"
#include "portname.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

#include <array>
#include <memory>

namespace kr7 {

// Which port each port number opens. COM1 and COM2 mean nothing on Linux, where technicians use USB adapters
// and network gateways; the command line says what stands behind each (see PortName).
struct PortMap {
    QString com1;
    QString com2;
    static PortMap platformDefault();
};

// The serial control of the panel: port number, settings text, open/close, output, the receive event and
// one read of everything waiting, over one Port per port number. A line that fails while open is closed
// once and, unless the operator closes or changes it, reopened by itself with the same settings when it
// returns. Lives on the GUI thread; every event comes from the event loop of that thread.
class SerialLine : public QObject {
    Q_OBJECT
  public:
    enum class State {
        Closed,  // never opened, closed by the operator, or a failed open
        Opening, // a network port is connecting
        Open,
        Waiting, // lost while open: waiting for it to come back
    };
    Q_ENUM(State)
    using OpenResult = Port::OpenResult;

    // Back-off between tries to reopen a lost network port: doubling from the first to the last.
    static constexpr int kRetryFirstMs = 500;
    static constexpr int kRetryLastMs = 8000;
    // A lost device is looked for this often (a stat of its path: costs nothing measurable).
    static constexpr int kDevicePollMs = 500;

    // Port names are checked by the caller (parsePortName); a malformed one fails to open with the reason.
    explicit SerialLine(PortMap ports, QObject *parent = nullptr);
    ~SerialLine() override;

    int commPort() const { return m_commPort; }
    // Chooses the port for the next open; ends any waiting for the other one.
    void setCommPort(int port);
    // The port's name as given (device path, tcp://..., rfc2217://...).
    QString device() const { return device(m_commPort); }
    QString device(int port) const;
    bool isNetwork() const;

    // "19200,N,8,1" and the like; takes effect at once, on an open port as on a closed one.
    bool setSettings(const QString &settings);
    const QString &settings() const { return m_settings; }

    bool portOpen() const { return m_state == State::Open; }
    State state() const { return m_state; }
    // true: opens the chosen port. Pending: opened() or openFailed() follows. false: closes, and stops any
    // opening or waiting (always Open).
    OpenResult setPortOpen(bool open);
    // The last failure, naming the port and the reason.
    const QString &errorString() const { return m_errorString; }
    // Whether a lost port is reopened by itself (the panel: yes; a one-shot query: no).
    void setReopenWhenBack(bool on) { m_reopen = on; }
    // Whether an open that fails is tried again as a lost port is (a service: yes). openFailed() says the
    // first failure; the line then waits, and portBack() says when it opened.
    void setRetryFailedOpen(bool on) { m_retryFailedOpen = on; }

    // Queues the bytes for the wire; returns what was queued, -1 when the port is not open.
    qint64 output(const QByteArray &bytes);
    // Everything waiting in the receive queue, removed from it.
    QByteArray input();
    // Bytes written but not yet on the wire: the port's own buffer plus the operating system's queue.
    qint64 pendingOutput() const;

    // Port errors seen since the port was last opened (for diagnostics and tests).
    int errorCount() const;
    // Drives the wait for a lost port by hand (tests); the timer does it otherwise.
    void retryNow() { retry(); }
    QTimer &retryTimer() { return m_retry; }

  signals:
    // Characters were received (the receive event with CommEvent 2).
    void received();
    void stateChanged();
    // The chosen port opened (at once, or when a Pending open finished); not when a lost port returns.
    void opened();
    // An open failed (at once, or when a Pending open finished).
    void openFailed(const QString &message);
    // The operator closed the line (or changed the port) while it was open, opening or waiting.
    void closed();
    // The settings text changed.
    void settingsChanged();
    // The open port failed (device unplugged, gateway gone) and was closed; the line now waits for it.
    void portLost(const QString &message);
    // A lost port is open again, with the same settings.
    void portBack();
    // The operator should know this, but the line goes on (a gateway that ignores RFC 2217, say).
    void notice(const QString &message);

  private:
    Port *port() const { return m_ports[m_commPort - 1].get(); }
    void setState(State s);
    void onOpened();
    void onOpenFailed(const QString &reason);
    void onLost(const QString &reason);
    void openFailedNow();
    void scheduleRetry();
    void retry();
    QString named(const QString &reason) const;

    std::array<QString, 2> m_names;
    std::array<std::unique_ptr<Port>, 2> m_ports; // null for a malformed name
    std::array<QString, 2> m_nameErrors;
    std::array<bool, 2> m_network{};
    int m_commPort = 1;
    QString m_settings = QStringLiteral("19200,N,8,1");
    int m_baud = 19200; // the speed of m_settings
    State m_state = State::Closed;
    QString m_errorString;
    bool m_reopen = true;
    bool m_retryFailedOpen = false;
    QTimer m_retry;
    int m_attempts = 0; // tries since the port was lost
};

} // namespace kr7
