#include "bridge.h"

#include "historyface.h"
#include "httpface.h"
#include "journal.h"
#include "kr7version.h"
#include "lampface.h"
#include "linepoller.h"
#include "mqttface.h"
#include "pjlinkface.h"
#include "scheduleface.h"
#include "webtls.h"

#include <QJsonArray>

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
    : QObject(parent), m_log(log), m_config(settings.config), m_state(m_config), m_feed(m_state),
      m_commands(m_state), m_events(m_state, m_feed, m_commands),
      m_scheme(settings.web && settings.web->tls ? QStringLiteral("HTTPS") : QStringLiteral("HTTP")) {
    for (qsizetype l = 0; l < m_config.lines.size(); ++l)
        m_pollers.push_back(std::make_unique<LinePoller>(m_state, int(l), m_config, log));
    m_commands.setRoute([this](int projector, const SetRequest &request, Commands::Done done) {
        route(projector, request, std::move(done));
    });
    // The faces, in the order they start (and, backwards, stop).
    m_commands.setConfig(m_config);
    const FaceServices services{m_state, m_feed, m_commands, m_events, m_schedules, m_lamps};
    m_faces.push_back(std::make_unique<HistoryFace>(services, settings));
    m_faces.push_back(std::make_unique<HttpFace>(services, settings));
    m_faces.push_back(std::make_unique<MqttFace>(services, settings));
    m_faces.push_back(std::make_unique<PjlinkFace>(services, settings));
    m_faces.push_back(std::make_unique<ScheduleFace>(services, settings));
    m_faces.push_back(std::make_unique<LampFace>(services, settings));
}

Bridge::~Bridge() = default;

bool Bridge::start(QString *error) {
    for (auto &face : m_faces)
        if (!face->start(error))
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
                .arg(m_scheme));
    for (auto &p : m_pollers)
        p->start();
    m_events.service(QStringLiteral("started"), {{QStringLiteral("version"), QStringLiteral(KR7_VERSION)}});
    return true;
}

void Bridge::reload(Settings settings) {
    Config next = settings.config;
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
    m_config = std::move(next);
    m_commands.setConfig(m_config);

    QStringList kept, restarted, failed;
    for (auto &face : m_faces) {
        const FaceReload r = face->reconfigure(settings);
        switch (r.kind) {
        case FaceReload::Kind::Kept:
            kept << face->name();
            break;
        case FaceReload::Kind::Restarted:
            restarted << face->name();
            break;
        case FaceReload::Kind::Failed:
            failed << QStringLiteral("%1 (%2)").arg(face->name(), r.reason);
            break;
        }
    }
    m_state.changeService([&](ServiceState &s) {
        s.lastReloadOk = failed.isEmpty();
        if (s.lastReloadOk)
            s.lastReloadSuccess = QDateTime::currentDateTimeUtc();
    });
    QStringList faces;
    for (const auto &[what, names] : {std::pair{"kept", &kept}, std::pair{"restarted", &restarted},
                                      std::pair{"failed, the settings before go on:", &failed}})
        if (!names->isEmpty())
            faces << QStringLiteral("%1 %2").arg(QLatin1String(what), names->join(QStringLiteral(", ")));
    m_events.service(QStringLiteral("reload"),
                     {{QStringLiteral("kept"), QJsonArray::fromStringList(kept)},
                      {QStringLiteral("restarted"), QJsonArray::fromStringList(restarted)},
                      {QStringLiteral("failed"), QJsonArray::fromStringList(failed)}});
    journal(QStringLiteral("reload: %1 projectors on %2 lines, polled every %3 s; %4")
                .arg(m_config.projectorCount())
                .arg(m_config.lines.size())
                .arg(m_config.pollIntervalS)
                .arg(faces.join(QStringLiteral("; "))));
}

void Bridge::stop() {
    m_events.service(QStringLiteral("stopped"));
    for (auto &p : m_pollers)
        p->stop(); // commands waiting are told, on their faces, that the bridge stops
    for (auto face = m_faces.rbegin(); face != m_faces.rend(); ++face)
        (*face)->stop();
}

void Bridge::route(int projector, const SetRequest &request, Commands::Done done) {
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
    if (!request.followQuery.isEmpty()) {
        const QList<PolledQuery> queries = polledQueries(m_state.table());
        for (qsizetype q = 0; q < queries.size(); ++q)
            if (QLatin1StringView(queries[q].name.data(), qsizetype(queries[q].name.size())) ==
                request.followQuery)
                command.followQuery = q;
    }
    if (!line.enqueue(std::move(command), &outcome.error))
        done(outcome);
}

} // namespace kr7::bridge
