#include "mqttclient.h"

#include <QElapsedTimer>
#include <QSocketNotifier>

#include <mosquitto.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <poll.h>

namespace kr7::bridge {

namespace {

void initLibrary() {
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
}

QString errorText(int rc, int error) {
    if (rc == MOSQ_ERR_ERRNO && error)
        return QString::fromLocal8Bit(std::strerror(error));
    return QString::fromLatin1(mosquitto_strerror(rc));
}

} // namespace

MqttClient::MqttClient(Settings settings, QObject *parent)
    : QObject(parent), m_settings(std::move(settings)) {
    initLibrary();
    m_mosq = mosquitto_new(m_settings.clientId.toUtf8().constData(), true, this);
    mosquitto_int_option(m_mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    // A result follows the PUBACK of its command at once; Nagle would hold it for the broker's delayed ACK.
    mosquitto_int_option(m_mosq, MOSQ_OPT_TCP_NODELAY, 1);
    if (!m_settings.username.isEmpty())
        mosquitto_username_pw_set(m_mosq, m_settings.username.toUtf8().constData(),
                                  m_settings.password.isEmpty() ? nullptr : m_settings.password.constData());
    if (m_settings.tls) {
        const QByteArray ca = m_settings.caFile.toUtf8(), cert = m_settings.certFile.toUtf8(),
                         key = m_settings.keyFile.toUtf8();
        const int rc = mosquitto_tls_set(
            m_mosq, ca.isEmpty() ? nullptr : ca.constData(), ca.isEmpty() ? "/etc/ssl/certs" : nullptr,
            cert.isEmpty() ? nullptr : cert.constData(), key.isEmpty() ? nullptr : key.constData(), nullptr);
        if (rc != MOSQ_ERR_SUCCESS)
            m_setupError =
                QStringLiteral("TLS cannot be set up (ca_file %1, cert_file %2, key_file %3): %4")
                    .arg(ca.isEmpty() ? QStringLiteral("/etc/ssl/certs") : m_settings.caFile,
                         cert.isEmpty() ? QStringLiteral("none") : m_settings.certFile,
                         key.isEmpty() ? QStringLiteral("none") : m_settings.keyFile, errorText(rc, errno));
    }
    if (!m_settings.willTopic.isEmpty())
        mosquitto_will_set(m_mosq, m_settings.willTopic.toUtf8().constData(),
                           int(m_settings.willPayload.size()), m_settings.willPayload.constData(), 1, true);
    // libmosquitto calls these from inside loop_read/loop_write, on this thread.
    mosquitto_connect_callback_set(
        m_mosq, [](mosquitto *, void *self, int rc) { static_cast<MqttClient *>(self)->onConnack(rc); });
    mosquitto_disconnect_callback_set(m_mosq, [](mosquitto *, void *self, int rc) {
        if (rc != 0)
            static_cast<MqttClient *>(self)->fail(QStringLiteral("connection lost"));
    });
    // What the library says of an error (OpenSSL's reason for a refused certificate, say) makes the problem
    // clearer than its error code. Called on the connecting thread too.
    mosquitto_log_callback_set(m_mosq, [](mosquitto *, void *self, int level, const char *text) {
        if (level == MOSQ_LOG_ERR)
            static_cast<MqttClient *>(self)->noteLibraryError(QString::fromUtf8(text));
    });
    mosquitto_publish_callback_set(m_mosq, [](mosquitto *, void *self, int mid) {
        auto *client = static_cast<MqttClient *>(self);
        if (mid == client->m_lastMid)
            client->m_lastAcked = true;
    });
    mosquitto_subscribe_callback_set(
        m_mosq, [](mosquitto *, void *self, int mid, int count, const int *granted) {
            static_cast<MqttClient *>(self)->onSuback(mid, count > 0 ? granted[0] : 0x80);
        });
    mosquitto_message_callback_set(m_mosq, [](mosquitto *, void *self, const mosquitto_message *m) {
        static_cast<MqttClient *>(self)->onMessage(m);
    });
    m_misc.setInterval(1000);
    connect(&m_misc, &QTimer::timeout, this, [this] { afterIo(mosquitto_loop_misc(m_mosq)); });
    m_retry.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, this, &MqttClient::connectNow);
}

MqttClient::~MqttClient() {
    joinWorker();
    teardown();
    mosquitto_destroy(m_mosq);
}

void MqttClient::joinWorker() {
    if (m_worker.joinable())
        m_worker.join();
}

void MqttClient::start() {
    if (m_state == State::Idle && m_setupError.isEmpty())
        connectNow();
}

void MqttClient::connectNow() {
    if (!m_setupError.isEmpty())
        return;
    m_state = State::Connecting;
    joinWorker();
    const QByteArray host = m_settings.host.toUtf8();
    const int port = m_settings.port;
    m_worker = std::thread([this, host, port] {
        const int rc = mosquitto_connect_async(m_mosq, host.constData(), port, kKeepAliveS);
        const int error = errno;
        // Back to the event loop's thread; the object waits for this thread before it goes.
        QMetaObject::invokeMethod(
            this, [this, rc, error] { onConnectStarted(rc, error); }, Qt::QueuedConnection);
    });
}

void MqttClient::onConnectStarted(int rc, int error) {
    joinWorker();
    if (m_state != State::Connecting)
        return; // stopped meanwhile
    if (rc != MOSQ_ERR_SUCCESS)
        return fail(QStringLiteral("cannot connect to %1:%2: %3")
                        .arg(m_settings.host)
                        .arg(m_settings.port)
                        .arg(errorText(rc, error)));
    m_state = State::Handshake;
    const int fd = mosquitto_socket(m_mosq);
    m_read = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(m_read, &QSocketNotifier::activated, this, [this] { afterIo(mosquitto_loop_read(m_mosq, 1)); });
    m_write = new QSocketNotifier(fd, QSocketNotifier::Write, this);
    connect(m_write, &QSocketNotifier::activated, this, [this] { afterIo(mosquitto_loop_write(m_mosq, 1)); });
    m_misc.start();
    updateWrite();
}

void MqttClient::onConnack(int rc) {
    if (rc != 0) {
        // Refused (a wrong password, a client id the broker will not take): the same back-off as a lost line.
        mosquitto_disconnect(m_mosq);
        return fail(QStringLiteral("%1:%2 refused the connection: %3")
                        .arg(m_settings.host)
                        .arg(m_settings.port)
                        .arg(QString::fromLatin1(mosquitto_connack_string(rc))));
    }
    m_state = State::Connected;
    m_delayMs = kFirstRetryMs;
    emit connected();
}

void MqttClient::onMessage(const mosquitto_message *m) {
    emit message(QString::fromUtf8(m->topic),
                 QByteArray(static_cast<const char *>(m->payload), m->payloadlen), m->retain);
}

void MqttClient::afterIo(int rc) {
    if (m_state != State::Handshake && m_state != State::Connected)
        return;
    if (rc != MOSQ_ERR_SUCCESS) {
        const int error = errno;
        return fail(
            QStringLiteral("%1:%2: %3").arg(m_settings.host).arg(m_settings.port).arg(errorText(rc, error)));
    }
    updateWrite();
}

void MqttClient::updateWrite() {
    if (m_write)
        m_write->setEnabled(mosquitto_want_write(m_mosq));
}

void MqttClient::noteLibraryError(const QString &text) {
    std::lock_guard g(m_libraryErrorLock);
    m_libraryError = text;
}

void MqttClient::fail(const QString &given) {
    if (m_state == State::Idle || m_state == State::Waiting)
        return;
    QString reason = given;
    {
        std::lock_guard g(m_libraryErrorLock);
        if (!m_libraryError.isEmpty())
            reason += QStringLiteral(" (%1)").arg(std::exchange(m_libraryError, QString()));
    }
    teardown();
    m_state = State::Waiting;
    emit problem(reason);
    m_retry.start(m_delayMs);
    m_delayMs = std::min(m_delayMs * 2, kLastRetryMs);
}

void MqttClient::teardown() {
    // The notifiers stop watching before libmosquitto closes the socket they watch.
    for (QSocketNotifier *n : {std::exchange(m_read, nullptr), std::exchange(m_write, nullptr)})
        if (n) {
            n->setEnabled(false);
            n->deleteLater();
        }
    m_misc.stop();
}

bool MqttClient::publish(const QString &topic, const QByteArray &payload, bool retain) {
    if (m_state != State::Connected)
        return false;
    int mid = 0;
    const int rc = mosquitto_publish(m_mosq, &mid, topic.toUtf8().constData(), int(payload.size()),
                                     payload.constData(), 1, retain);
    if (rc == MOSQ_ERR_SUCCESS) {
        m_lastMid = mid;
        m_lastAcked = false;
    }
    afterIo(rc == MOSQ_ERR_NO_CONN ? MOSQ_ERR_CONN_LOST : MOSQ_ERR_SUCCESS);
    return rc == MOSQ_ERR_SUCCESS;
}

bool MqttClient::subscribe(const QString &pattern) {
    if (m_state != State::Connected)
        return false;
    int mid = 0;
    const int rc = mosquitto_subscribe(m_mosq, &mid, pattern.toUtf8().constData(), 1);
    updateWrite();
    if (rc == MOSQ_ERR_SUCCESS)
        m_subscribing[mid] = pattern;
    return rc == MOSQ_ERR_SUCCESS;
}

void MqttClient::onSuback(int mid, int granted) {
    const QString pattern = m_subscribing.take(mid);
    if (granted >= 0x80 && !pattern.isEmpty())
        emit subscriptionRefused(pattern);
}

void MqttClient::stop() {
    m_retry.stop();
    joinWorker();
    if (m_state == State::Connected) {
        // What was published last (the bridge's "offline") must reach the broker before a DISCONNECT, which
        // would cancel the will: with many messages in flight it waits behind them for the broker's
        // acknowledgements. At most two seconds; if it has not been acknowledged by then, the connection is
        // dropped without a DISCONNECT, and the broker sends the will ("offline") instead.
        const int fd = mosquitto_socket(m_mosq);
        QElapsedTimer waited;
        waited.start();
        while (fd >= 0 && m_lastMid && !m_lastAcked && waited.elapsed() < 2000) {
            pollfd p{fd, short(POLLIN | (mosquitto_want_write(m_mosq) ? POLLOUT : 0)), 0};
            if (::poll(&p, 1, 50) < 0)
                break;
            if (((p.revents & POLLIN) && mosquitto_loop_read(m_mosq, 1) != MOSQ_ERR_SUCCESS) ||
                ((p.revents & POLLOUT) && mosquitto_loop_write(m_mosq, 1) != MOSQ_ERR_SUCCESS))
                break;
            mosquitto_loop_misc(m_mosq);
        }
        if (!m_lastMid || m_lastAcked) {
            mosquitto_disconnect(m_mosq);
            for (int i = 0; i < 20 && fd >= 0 && mosquitto_want_write(m_mosq); ++i) {
                pollfd p{fd, POLLOUT, 0};
                if (::poll(&p, 1, 50) > 0 && mosquitto_loop_write(m_mosq, 1) != MOSQ_ERR_SUCCESS)
                    break;
            }
        }
    }
    teardown();
    m_state = State::Idle;
}

} // namespace kr7::bridge
