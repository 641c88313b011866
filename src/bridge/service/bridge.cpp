#include "bridge.h"

#include "httpface.h"
#include "journal.h"
#include "kr7version.h"
#include "linepoller.h"
#include "mqttface.h"

namespace kr7::bridge {

Bridge::Bridge(Config config, traffic::TrafficLog *log, QObject *parent)
    : QObject(parent), m_config(std::move(config)), m_state(m_config) {
    for (qsizetype l = 0; l < m_config.lines.size(); ++l)
        m_pollers.push_back(std::make_unique<LinePoller>(m_state, int(l), m_config, log));
}

Bridge::~Bridge() = default;

bool Bridge::start(QString *error) {
    if (m_config.mqtt) {
        m_mqtt = std::make_unique<MqttFace>(m_state, *m_config.mqtt,
                                            [this](int projector, const SetRequest &request, auto done) {
                                                submit(projector, request, std::move(done));
                                            });
        if (!m_mqtt->start(error))
            return false;
    }
    m_http = std::make_unique<HttpFace>(m_state);
    if (!m_http->listenOn(m_config.listenHost, m_config.listenPort, error))
        return false;
    const QString host = m_config.listenHost.contains(QLatin1Char(':'))
                             ? QLatin1Char('[') + m_config.listenHost + QLatin1Char(']')
                             : m_config.listenHost;
    journal(QStringLiteral("%1 started: %2 projectors on %3 lines, polled every %4 s; HTTP on %5:%6")
                .arg(QStringLiteral(KR7_VERSION))
                .arg(m_config.projectorCount())
                .arg(m_config.lines.size())
                .arg(m_config.pollIntervalS)
                .arg(host)
                .arg(m_config.listenPort));
    for (auto &p : m_pollers)
        p->start();
    return true;
}

void Bridge::stop() {
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
    LineCommand command{projector, request.code, request.windowMs, request.pollAfter,
                        [done](const ExchangeResult *result, const QString &error) {
                            CommandOutcome sent;
                            if (result)
                                sent.exchange = *result;
                            sent.error = error;
                            done(sent);
                        }};
    if (!line.enqueue(std::move(command), &outcome.error))
        done(outcome);
}

} // namespace kr7::bridge
