#include "groups.h"

#include <functional>

namespace kr7::bridge {

std::optional<QList<GroupMember>> membersOf(const Config &config, const QString &group) {
    const auto find = [&](const QString &name) -> const GroupConfig * {
        for (const GroupConfig &g : config.groups)
            if (g.name == name)
                return &g;
        return nullptr;
    };
    QList<GroupMember> out;
    if (group == QLatin1String("all")) {
        for (const LineConfig &l : config.lines)
            for (const ProjectorConfig &p : l.projectors)
                out << GroupMember{p.name, 0};
        return out;
    }
    const GroupConfig *top = find(group);
    if (!top)
        return std::nullopt;
    // Each group's projectors in order; a staggered one starts each after the one before (a nested group as a
    // whole takes its slots); the last start is returned.
    std::function<int(const GroupConfig &, int, int)> walk = [&](const GroupConfig &g, int start, int depth) {
        int at = start, last = start;
        for (const QString &m : g.members) {
            int end = at;
            if (const GroupConfig *sub = depth < 32 ? find(m) : nullptr)
                end = walk(*sub, at, depth + 1);
            else
                out << GroupMember{m, at};
            last = std::max(last, end);
            if (g.staggerMs)
                at = end + g.staggerMs;
        }
        return last;
    };
    walk(*top, 0, 0);
    return out;
}

} // namespace kr7::bridge
