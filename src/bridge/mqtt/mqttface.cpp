#include "mqttface.h"

#include "changefeed.h"
#include "commands.h"
#include "discovery.h"
#include "events.h"
#include "journal.h"
#include "kr7version.h"
#include "scheduledesk.h"
#include "state.h"

#include <QJsonDocument>

namespace kr7::bridge {

namespace {

MqttClient::Settings clientSettings(const MqttConfig &c) {
    MqttClient::Settings s;
    s.host = c.host;
    s.port = c.port;
    s.tls = c.tls;
    s.caFile = c.caFile.path;
    s.certFile = c.certFile.path;
    s.keyFile = c.keyFile.path;
    s.username = c.username;
    s.password = c.password;
    s.clientId = c.clientId;
    s.willTopic = c.baseTopic + QStringLiteral("/bridge/state");
    s.willPayload = "offline";
    return s;
}

QByteArray compact(const QJsonObject &o) {
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

} // namespace

MqttFace::MqttFace(FaceServices services, const Settings &settings, QObject *parent)
    : Face(parent), m_services(services), m_config(settings.config.mqtt) {
    // A refused subscription would leave the bridge deaf to commands without a word: said, and asked again
    // after 1 s, doubling to 5 minutes.
    m_resubscribe.setSingleShot(true);
    connect(&m_resubscribe, &QTimer::timeout, this, [this] { subscribe(); });
    connect(&m_services.feed, &ChangeFeed::changed, this, &MqttFace::onChanges);
    // Every event, as the history keeps it, for a campus to collect every bridge's with any consumer; not
    // retained, and not kept while the broker is away.
    connect(&m_services.events, &Events::happened, this, [this](const Event &e) {
        if (m_client && m_client->isConnected())
            m_client->publish(topic(e.projector.isEmpty() ? QStringLiteral("bridge") : e.projector, "event"),
                              compact(e.toJson()), false);
    });
    if (m_config)
        connectClient();
}

MqttFace::~MqttFace() = default;

// A client for the configuration, not started yet.
void MqttFace::connectClient() {
    m_client = std::make_unique<MqttClient>(clientSettings(*m_config));
    connect(m_client.get(), &MqttClient::connected, this, &MqttFace::onConnected);
    connect(m_client.get(), &MqttClient::problem, this, &MqttFace::onProblem);
    connect(m_client.get(), &MqttClient::message, this, &MqttFace::onMessage);
    connect(m_client.get(), &MqttClient::subscriptionRefused, this, [this](const QString &pattern) {
        journal(QStringLiteral("mqtt: the broker refused the subscription to %1 (its ACL?): commands cannot "
                               "come; asking again in %2 s")
                    .arg(pattern)
                    .arg(m_resubscribeMs / 1000));
        m_resubscribe.start(m_resubscribeMs);
        m_resubscribeMs = std::min(m_resubscribeMs * 2, kMaxResubscribeMs);
    });
    m_lastProblem.clear();
    m_lastState.clear();
    m_lastAvailable.clear();
    m_resubscribe.stop();
    m_resubscribeMs = 1000;
}

// A projector's commands, a group's, a schedule entry's overrides.
void MqttFace::subscribe() {
    if (!m_client)
        return;
    m_client->subscribe(topic(QStringLiteral("+"), "set"));
    m_client->subscribe(topic(QStringLiteral("group/+"), "set"));
    m_client->subscribe(topic(QStringLiteral("schedule/+"), "set"));
}

QString MqttFace::topic(const QString &name, const char *suffix) const {
    QString t = m_config->baseTopic + QLatin1Char('/') + name;
    if (suffix)
        t += QLatin1Char('/') + QLatin1String(suffix);
    return t;
}

bool MqttFace::start(QString *error) {
    if (!m_client)
        return true;
    if (!m_client->setupError().isEmpty()) {
        *error = QStringLiteral("mqtt: %1").arg(m_client->setupError());
        return false;
    }
    journal(QStringLiteral("mqtt: connecting to %1:%2").arg(m_config->host).arg(m_config->port));
    m_client->start();
    return true;
}

FaceReload MqttFace::reconfigure(const Settings &next) {
    if (next.config.mqtt == m_config)
        return FaceReload::kept();
    if (next.config.mqtt) {
        // The new client first: one that cannot be set up leaves the session before in place.
        auto client = std::make_unique<MqttClient>(clientSettings(*next.config.mqtt));
        if (!client->setupError().isEmpty())
            return FaceReload::failed(client->setupError());
    }
    goOffline();
    m_client.reset();
    m_config = next.config.mqtt;
    if (!m_config) {
        journal(QStringLiteral("mqtt: no mqtt section any more; disconnected"));
        return FaceReload::restarted();
    }
    connectClient();
    QString error;
    if (!start(&error))
        return FaceReload::failed(error);
    return FaceReload::restarted();
}

void MqttFace::stop() {
    m_services.feed.flush();
    goOffline();
}

// "offline" retained behind what is in flight, then the DISCONNECT.
void MqttFace::goOffline() {
    if (!m_client)
        return;
    m_client->publish(topic(QStringLiteral("bridge"), "state"), "offline", true);
    m_client->stop();
}

void MqttFace::onProblem(const QString &reason) {
    // Said once; again only when it changes (a broker that stays away is not news every 30 s).
    if (reason != m_lastProblem)
        journal(QStringLiteral("mqtt: %1; trying again").arg(reason));
    m_lastProblem = reason;
}

void MqttFace::onConnected() {
    journal(QStringLiteral("mqtt: connected to %1:%2").arg(m_config->host).arg(m_config->port));
    m_lastProblem.clear();
    m_client->publish(topic(QStringLiteral("bridge"), "state"), "online", true);
    m_resubscribe.stop();
    m_resubscribeMs = 1000;
    subscribe();
    publishAll();
    for (const auto &[t, payload] : std::exchange(m_heldResults, {}))
        m_client->publish(t, payload, false);
}

void MqttFace::onChanges(const StateChanges &changes) {
    if (!m_client || !m_client->isConnected())
        return; // connecting publishes everything
    if (!changes.reset) {
        for (const int index : changes.projectors)
            publishProjector(index);
        return;
    }
    // A projector gone leaves nothing behind: its kept state, availability and discovery configs are cleared
    // (an empty retained message deletes one), so Home Assistant drops its entities.
    const QString version = QStringLiteral(KR7_VERSION);
    for (const QString &name : changes.removed) {
        m_client->publish(topic(name), {}, true);
        m_client->publish(topic(name, "availability"), {}, true);
        for (const MqttMessage &m : discoveryMessages(name, *m_config, version))
            m_client->publish(m.topic, {}, true);
    }
    publishAll();
}

// Discovery for every projector, and each one's state and availability as if never published.
void MqttFace::publishAll() {
    const QString version = QStringLiteral(KR7_VERSION);
    const BridgeState &state = m_services.state;
    for (const ProjectorState &p : state.projectors())
        for (const MqttMessage &m : discoveryMessages(p.name, *m_config, version, p.readings.table()))
            m_client->publish(m.topic, m.payload, true);
    // Everything again: the broker may have lost what it kept.
    m_lastState = QList<QByteArray>(state.projectors().size());
    m_lastAvailable = QList<int>(state.projectors().size(), -1);
    for (qsizetype i = 0; i < state.projectors().size(); ++i)
        publishProjector(int(i));
}

void MqttFace::publishProjector(int index) {
    if (!m_client || !m_client->isConnected() || index >= m_lastState.size())
        return;
    const ProjectorState &p = m_services.state.projectors()[index];
    const QByteArray withoutLastSeen = compact(stateObject(p, false));
    if (withoutLastSeen != m_lastState[index] &&
        m_client->publish(topic(p.name), compact(stateObject(p)), true))
        m_lastState[index] = withoutLastSeen;
    const int available = p.available ? 1 : 0;
    if (available != m_lastAvailable[index] &&
        m_client->publish(topic(p.name, "availability"), p.available ? "online" : "offline", true))
        m_lastAvailable[index] = available;
}

void MqttFace::onMessage(const QString &t, const QByteArray &payload, bool retained) {
    const QString prefix = m_config->baseTopic + QLatin1Char('/');
    if (!t.startsWith(prefix) || !t.endsWith(QLatin1String("/set")))
        return;
    const QString name = t.mid(prefix.size(), t.size() - prefix.size() - 4);
    const QJsonValue request = requestAsReceived(payload);
    if (name.startsWith(QLatin1String("group/")) || name.startsWith(QLatin1String("schedule/"))) {
        const QString what = name.section(QLatin1Char('/'), 1);
        const QString resultTopic = topic(name, "result");
        if (retained)
            return refuse(
                resultTopic, t, request,
                QStringLiteral(
                    "a retained command is not carried out (it would run again at every connection)"));
        const Origin origin{QStringLiteral("mqtt"), {}, {}, t, {}, {}};
        if (name.startsWith(QLatin1String("schedule/"))) {
            ScheduleDesk::Answer a = m_services.schedules.steer(what, payload, origin);
            a.body[QStringLiteral("request")] = request;
            return deliver(resultTopic, compact(a.body));
        }
        auto parsed = parseSetRequest(payload, false); // never a free line to a group
        if (const QString *why = std::get_if<QString>(&parsed))
            return refuse(resultTopic, t, request, *why);
        const SetRequest &r = std::get<SetRequest>(parsed);
        if (!m_services.commands.submitGroup(what, r, origin, this,
                                             [this, resultTopic, request = QJsonValue(r.request)](
                                                 const QList<std::pair<QString, CommandOutcome>> &all) {
                                                 deliver(resultTopic,
                                                         compact(groupResultObject(request, all)));
                                             }))
            return refuse(resultTopic, t, request, QStringLiteral("no group named '%1' here").arg(what));
        return;
    }
    const int index = m_services.state.indexOf(name);
    if (index < 0)
        return refuse(topic(QStringLiteral("bridge"), "result"), t, request,
                      QStringLiteral("no projector named '%1' here").arg(name));
    const QString resultTopic = topic(name, "result");
    if (retained)
        return refuse(
            resultTopic, t, request,
            QStringLiteral("a retained command is not carried out (it would run again at every connection)"));
    auto parsed = parseSetRequest(payload, m_config->allowRaw);
    if (const QString *why = std::get_if<QString>(&parsed))
        return refuse(resultTopic, t, request, *why);
    const SetRequest &r = std::get<SetRequest>(parsed);
    m_services.commands.submit(
        index, r, Origin{QStringLiteral("mqtt"), {}, {}, t, {}, {}}, this,
        [this, resultTopic, setTopic = t, request = QJsonValue(r.request)](const CommandOutcome &o) {
            if (!o.accepted && !o.exchange)
                return refuse(resultTopic, setTopic, request, o.error);
            answer(resultTopic, request, o);
        });
}

// A result whose session is between connections (a reload restarted it, the broker went away) waits for the
// next one, a few at most.
void MqttFace::answer(const QString &t, const QJsonValue &request, const CommandOutcome &outcome) {
    deliver(t, compact(resultObject(request, outcome)));
}

void MqttFace::deliver(const QString &t, const QByteArray &payload) {
    if (!m_client)
        return; // no mqtt section any more: nobody to tell
    if (m_client->isConnected() && m_client->publish(t, payload, false))
        return;
    if (m_heldResults.size() >= kMaxHeldResults) {
        m_heldResults.pop_front();
        journal(QStringLiteral("mqtt: a command's result was dropped: %1 wait for the broker already")
                    .arg(kMaxHeldResults));
    }
    m_heldResults.push_back({t, payload});
}

void MqttFace::refuse(const QString &t, const QString &setTopic, const QJsonValue &request,
                      const QString &why) {
    CommandOutcome refused;
    refused.error = why;
    answer(t, request, refused);
    if (!m_saidWindow.isValid() || m_saidWindow.elapsed() > 60000) {
        if (m_unsaid)
            journal(QStringLiteral("mqtt: %1 more commands refused in the last minute").arg(m_unsaid));
        m_saidWindow.start();
        m_said = m_unsaid = 0;
    }
    if (++m_said <= kMaxSaid)
        journal(QStringLiteral("mqtt: %1: refused: %2").arg(setTopic, why));
    else
        ++m_unsaid;
}

} // namespace kr7::bridge
