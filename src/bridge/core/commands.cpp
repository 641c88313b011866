#include "commands.h"

#include "groups.h"
#include "journal.h"
#include "state.h"

#include <QTimer>

#include <memory>

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

bool Commands::submitGroup(const QString &group, const SetRequest &request, const Origin &origin,
                           QObject *context, GroupDone done) {
    const std::optional<QList<GroupMember>> members = membersOf(m_config, group);
    if (!members)
        return false;
    struct Gathered {
        QList<std::pair<QString, CommandOutcome>> results;
        qsizetype remaining = 0;
    };
    auto gathered = std::make_shared<Gathered>();
    for (const GroupMember &m : *members)
        gathered->results.append({m.projector, {}});
    gathered->remaining = gathered->results.size();
    QPointer<QObject> alive(context);
    const bool powerOn = request.kind == SetRequest::Kind::Power && request.code == QLatin1String("C00");
    Origin theirs = origin;
    theirs.group = group;
    for (qsizetype i = 0; i < members->size(); ++i) {
        const QString name = (*members)[i].projector;
        const auto answered = [gathered, alive, done, i](const CommandOutcome &o) {
            gathered->results[i].second = o;
            if (--gathered->remaining == 0 && alive)
                done(gathered->results);
        };
        const auto fire = [this, name, request, theirs, answered] {
            // By name when it goes: a reload meanwhile may have numbered the projectors anew.
            const int index = m_state.indexOf(name);
            if (index < 0)
                return answered(CommandOutcome{
                    false, std::nullopt, QStringLiteral("no projector named '%1' here any more").arg(name)});
            submit(index, request, theirs, this, answered);
        };
        if (const int delay = powerOn ? (*members)[i].delayMs : 0; delay > 0)
            QTimer::singleShot(delay, this, fire);
        else
            fire();
    }
    if (members->isEmpty() && alive)
        done({});
    return true;
}

} // namespace kr7::bridge
