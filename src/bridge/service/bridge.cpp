#include "bridge.h"

#include "httpface.h"
#include "journal.h"
#include "kr7version.h"
#include "linepoller.h"
#include "mqttface.h"
#include "pjlinkface.h"
#include "webtls.h"

namespace kr7::bridge {

std::variant<Settings, QString> loadSettings(const QString &path, const QString &webConfigFile) {
    auto loaded = loadConfig(path);
    if (QString *error = std::get_if<QString>(&loaded))
        return std::move(*error);
    Settings settings{std::get<Config>(std::move(loaded)), std::nullopt};
    const QString web = webConfigFile.isEmpty() ? settings.config.webConfigFile.path : webConfigFile;
    if (web.isEmpty())
        return settings;
    auto webLoaded = loadWebConfig(web);
    if (QString *error = std::get_if<QString>(&webLoaded))
        return std::move(*error);
    settings.web = std::get<WebConfig>(std::move(webLoaded));
    return settings;
}

Bridge::Bridge(Settings settings, traffic::TrafficLog *log, QObject *parent)
    : QObject(parent), m_log(log), m_config(std::move(settings.config)), m_web(std::move(settings.web)),
      m_state(m_config) {
    for (qsizetype l = 0; l < m_config.lines.size(); ++l)
        m_pollers.push_back(std::make_unique<LinePoller>(m_state, int(l), m_config, log));
}

Bridge::~Bridge() = default;

bool Bridge::start(QString *error) {
    if (m_config.mqtt) {
        m_mqtt = makeMqtt(*m_config.mqtt);
        if (!m_mqtt->start(error))
            return false;
    }
    m_http = makeHttp(m_web);
    if (!m_http->listenOn(m_config.listenHost, m_config.listenPort, error))
        return false;
    const QString host = m_config.listenHost.contains(QLatin1Char(':'))
                             ? QLatin1Char('[') + m_config.listenHost + QLatin1Char(']')
                             : m_config.listenHost;
    journal(QStringLiteral("%1 started: %2 projectors on %3 lines, polled every %4 s; %7 on %5:%6")
                .arg(QStringLiteral(KR7_VERSION))
                .arg(m_config.projectorCount())
                .arg(m_config.lines.size())
                .arg(m_config.pollIntervalS)
                .arg(host)
                .arg(m_config.listenPort)
                .arg(m_web && m_web->tls ? QStringLiteral("HTTPS") : QStringLiteral("HTTP")));
    for (auto &p : m_pollers)
        p->start();
    m_pjlink = std::make_unique<PjlinkFace>(
        m_state, m_config,
        [this](int projector, const SetRequest &request, auto done) {
            submit(projector, request, std::move(done));
        },
        [this](int projector, const FaceFamily *family, double value) {
            m_state.changeFaceSample(projector, family, value);
        });
    m_pjlink->start();
    return true;
}

std::unique_ptr<HttpFace> Bridge::makeHttp(const std::optional<WebConfig> &web) {
    return std::make_unique<HttpFace>(m_state, web,
                                      [this](int projector, const SetRequest &request, auto done) {
                                          submit(projector, request, std::move(done));
                                      });
}

std::unique_ptr<MqttFace> Bridge::makeMqtt(const MqttConfig &config) {
    return std::make_unique<MqttFace>(m_state, config,
                                      [this](int projector, const SetRequest &request, auto done) {
                                          submit(projector, request, std::move(done));
                                      });
}

void Bridge::reload(Settings settings) {
    Config next = std::move(settings.config);
    QList<int> keptLineOf(next.lines.size(), -1);
    std::vector<std::unique_ptr<LinePoller>> pollers(size_t(next.lines.size()));
    for (qsizetype l = 0; l < next.lines.size(); ++l)
        for (qsizetype o = 0; o < m_config.lines.size(); ++o)
            if (m_pollers[size_t(o)] && next.lines[l].port == m_config.lines[o].port &&
                next.lines[l].baud == m_config.lines[o].baud) {
                keptLineOf[l] = int(o);
                pollers[size_t(l)] = std::move(m_pollers[size_t(o)]);
            }
    for (auto &gone : m_pollers)
        if (gone) {
            journal(QStringLiteral("reload: line %1 is no longer watched").arg(gone->port()));
            gone->stop();
        }
    m_pollers.clear();
    const QList<int> newIndexOf = m_state.reconfigure(next, keptLineOf);
    for (qsizetype l = 0; l < next.lines.size(); ++l) {
        if (pollers[size_t(l)]) {
            pollers[size_t(l)]->renumber(int(l), next, newIndexOf);
            continue;
        }
        pollers[size_t(l)] = std::make_unique<LinePoller>(m_state, int(l), next, m_log);
        pollers[size_t(l)]->start();
    }
    m_pollers = std::move(pollers);

    if (next.listenHost != m_config.listenHost || next.listenPort != m_config.listenPort ||
        settings.web != m_web) {
        // The old listener goes first: the new one may want the same address.
        const bool sameAddress =
            next.listenHost == m_config.listenHost && next.listenPort == m_config.listenPort;
        if (sameAddress)
            m_http.reset();
        auto http = makeHttp(settings.web);
        QString error;
        if (http->listenOn(next.listenHost, next.listenPort, &error)) {
            m_http = std::move(http);
            m_web = std::move(settings.web);
            journal(QStringLiteral("reload: HTTP now on %1:%2%3")
                        .arg(next.listenHost)
                        .arg(next.listenPort)
                        .arg(m_web ? QStringLiteral(" with web config %1").arg(m_web->path) : QString()));
        } else if (sameAddress) {
            // The new web configuration cannot be served (its certificate, say): the one before goes on.
            journal(QStringLiteral("reload: %1; the web configuration before stays").arg(error));
            m_http = makeHttp(m_web);
            if (!m_http->listenOn(m_config.listenHost, m_config.listenPort, &error))
                journal(QStringLiteral("reload: %1").arg(error));
        } else {
            journal(QStringLiteral("reload: %1; HTTP stays on %2:%3")
                        .arg(error, m_config.listenHost)
                        .arg(m_config.listenPort));
            next.listenHost = m_config.listenHost;
            next.listenPort = m_config.listenPort;
        }
    }
    if (m_pjlink)
        m_pjlink->reconfigure(next);
    if (next.mqtt != m_config.mqtt) {
        if (m_mqtt)
            m_mqtt->stop();
        m_mqtt.reset();
        if (next.mqtt) {
            m_mqtt = makeMqtt(*next.mqtt);
            QString error;
            if (!m_mqtt->start(&error)) {
                journal(QStringLiteral("reload: %1").arg(error));
                m_mqtt.reset();
            }
        }
    }
    m_config = std::move(next);
    m_state.changeService([](ServiceState &s) {
        s.lastReloadOk = true;
        s.lastReloadSuccess = QDateTime::currentDateTimeUtc();
    });
    journal(QStringLiteral("reload: %1 projectors on %2 lines, polled every %3 s")
                .arg(m_config.projectorCount())
                .arg(m_config.lines.size())
                .arg(m_config.pollIntervalS));
}

void Bridge::stop() {
    if (m_pjlink)
        m_pjlink->stop();
    for (auto &p : m_pollers)
        p->stop();
    if (m_mqtt)
        m_mqtt->stop(); // "offline" before it disconnects
    m_http.reset();
}

void Bridge::submit(int projector, const SetRequest &request,
                    std::function<void(const CommandOutcome &)> done) {
    const ProjectorState &p = m_state.projectors()[projector];
    LinePoller &line = *m_pollers[size_t(p.line)];
    CommandOutcome outcome;
    switch (request.kind) {
    case SetRequest::Kind::Refresh:
        outcome.accepted = line.refresh(projector, &outcome.error);
        return done(outcome);
    case SetRequest::Kind::Pause:
        line.pause(request.seconds, p.name);
        outcome.accepted = true;
        return done(outcome);
    default:
        break;
    }
    LineCommand command{projector,
                        request.code,
                        request.windowMs,
                        request.pollAfter,
                        -1,
                        [done](const ExchangeResult *result, const QString &error) {
                            CommandOutcome sent;
                            if (result)
                                sent.exchange = *result;
                            sent.error = error;
                            done(sent);
                        }};
    if (!request.followQuery.empty()) {
        const QList<PolledQuery> queries = polledQueries(m_state.table());
        for (qsizetype q = 0; q < queries.size(); ++q)
            if (queries[q].name == request.followQuery)
                command.followQuery = q;
    }
    if (!line.enqueue(std::move(command), &outcome.error))
        done(outcome);
}

} // namespace kr7::bridge
