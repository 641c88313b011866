#include "stopsignals.h"

#include <QSocketNotifier>

#include <csignal>
#include <unistd.h>

namespace kr7 {

namespace {
int g_pipe[2] = {-1, -1};

void onSignal(int signal) {
    const char c = char(signal);
    [[maybe_unused]] const ssize_t n = ::write(g_pipe[1], &c, 1);
}
} // namespace

StopSignals::StopSignals(QObject *parent) : QObject(parent) {
    if (g_pipe[0] >= 0 || ::pipe(g_pipe) != 0)
        return;
    m_notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] {
        char c = 0;
        if (::read(g_pipe[0], &c, 1) == 1)
            emit received(int(c));
    });
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
}

StopSignals::~StopSignals() {
    if (!m_notifier)
        return;
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
}

} // namespace kr7
