#pragma once

#include "config.h"

#include <QList>
#include <QString>

#include <optional>

namespace kr7::bridge {

// A projector of a group, and how long after the first its power-on goes out.
struct GroupMember {
    QString projector;
    int delayMs = 0;
};

// The projectors a group reaches (all: every projector), in the order written, nested groups expanded; a
// staggered group spaces its projectors by its stagger (a nested group's own stagger holds inside it).
// Nothing for a name that is no group.
std::optional<QList<GroupMember>> membersOf(const Config &config, const QString &group);

} // namespace kr7::bridge
