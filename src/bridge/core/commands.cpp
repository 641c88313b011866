#include "commands.h"

#include "journal.h"
#include "state.h"

namespace kr7::bridge {

QJsonObject Origin::toJson() const {
    QJsonObject o;
    for (const auto &[key, value] :
         {std::pair{"face", &face}, std::pair{"user", &user}, std::pair{"address", &address},
          std::pair{"topic", &topic}, std::pair{"schedule", &schedule}, std::pair{"group", &group}})
        if (!value->isEmpty())
            o[QLatin1String(key)] = *value;
    return o;
}

QString Origin::text() const {
    QStringList who;
    if (!user.isEmpty())
        who << user;
    if (!address.isEmpty())
        who << QStringLiteral("from %1").arg(address);
    if (!topic.isEmpty())
        who << QStringLiteral("on %1").arg(topic);
    if (!schedule.isEmpty())
        who << schedule;
    if (!group.isEmpty())
        who << QStringLiteral("group %1").arg(group);
    return who.isEmpty() ? face : QStringLiteral("%1 (%2)").arg(face, who.join(QLatin1Char(' ')));
}

Commands::Commands(const BridgeState &state, QObject *parent) : QObject(parent), m_state(state) {}

void Commands::submit(int projector, const SetRequest &request, const Origin &origin, QObject *context,
                      Done done) {
    const ProjectorState &p = m_state.projectors()[projector];
    CommandRecord record{p.name, p.port, request.request, origin, {}, QDateTime::currentDateTimeUtc()};
    QPointer<QObject> alive(context);
    QPointer<Commands> self(this);
    m_route(projector, request,
            [self, alive, record, done = std::move(done)](const CommandOutcome &o) mutable {
                record.outcome = o;
                if (self)
                    emit self->finished(record);
                if (alive)
                    return done(o);
                if (!o.accepted && !o.exchange)
                    journal(QStringLiteral("a command of %1 for %2 was refused after its face went: %3")
                                .arg(record.origin.text(), record.projector, o.error));
            });
}

} // namespace kr7::bridge
