#pragma once

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>
#include <QTimer>

#include <mutex>
#include <thread>

class QSocketNotifier;
struct mosquitto;
struct mosquitto_message;

namespace kr7::bridge {

// An MQTT 3.1.1 client (libmosquitto) driven by this thread's event loop: its socket watched with
// QSocketNotifier, its keep-alive by a timer. The one call that may block, connecting (it looks the broker's
// name up), runs on a thread of its own while the loop goes on. A failed or lost connection is tried again
// after 1 s, doubling to 30 s.
class MqttClient : public QObject {
    Q_OBJECT
  public:
    struct Settings {
        QString host;
        int port = 1883;
        bool tls = false;
        QString caFile;   // with tls; empty: the system's certificate folder
        QString certFile; // with tls: a client certificate and its key
        QString keyFile;
        QString username;
        QByteArray password;
        QString clientId;
        QString willTopic; // retained at QoS 1 when the connection dies without a DISCONNECT
        QByteArray willPayload;
    };
    static constexpr int kFirstRetryMs = 1000;
    static constexpr int kLastRetryMs = 30000;
    static constexpr int kKeepAliveS = 30;

    explicit MqttClient(Settings settings, QObject *parent = nullptr);
    ~MqttClient() override;

    // Why the client cannot be used as configured (TLS files that cannot be set); it then never connects,
    // so that nothing meant for a TLS broker goes out in clear. Empty when it can.
    const QString &setupError() const { return m_setupError; }
    void start();
    // Sends what is queued (at most a second), then DISCONNECT: the broker does not send the will.
    void stop();
    bool isConnected() const { return m_state == State::Connected; }

    // QoS 1. Nothing is sent while not connected (false); the owner publishes its state again on connected().
    bool publish(const QString &topic, const QByteArray &payload, bool retain);
    bool subscribe(const QString &pattern);

  signals:
    void connected();
    // Why the connection failed or was lost; the client tries again by itself.
    void problem(const QString &reason);
    void message(const QString &topic, const QByteArray &payload, bool retained);
    // The broker answered a subscription with a failure (its ACL, say): nothing will come on it.
    void subscriptionRefused(const QString &pattern);

  private:
    enum class State { Idle, Connecting, Handshake, Connected, Waiting };

    void connectNow();
    void onConnectStarted(int rc, int error);
    void onConnack(int rc);
    void onMessage(const mosquitto_message *m);
    void fail(const QString &reason);
    void noteLibraryError(const QString &text);
    void onSuback(int mid, int granted);
    void teardown();
    void afterIo(int rc);
    void updateWrite();
    void joinWorker();

    Settings m_settings;
    mosquitto *m_mosq = nullptr;
    State m_state = State::Idle;
    std::thread m_worker;
    QSocketNotifier *m_read =
        nullptr; // owned; released with deleteLater (a failure may come from its own slot)
    QSocketNotifier *m_write = nullptr;
    QTimer m_misc;
    QTimer m_retry;
    int m_delayMs = kFirstRetryMs;
    QString m_setupError;
    QHash<int, QString> m_subscribing;
    int m_lastMid = 0;        // the last message published, and whether the broker has acknowledged it
    bool m_lastAcked = false; // message id -> pattern, until the broker answers
    std::mutex m_libraryErrorLock;
    QString m_libraryError; // the library's last error message, said with the next failure
};

} // namespace kr7::bridge
