#pragma once

#include <QString>

namespace kr7::bridge {

// One line on standard error for something an operator should know (the journal keeps it with the time).
void say(const QString &line);

} // namespace kr7::bridge
