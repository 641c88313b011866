#include "processsignals.h"

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

ProcessSignals::ProcessSignals(std::initializer_list<int> watched, QObject *parent)
    : QObject(parent), m_signals(watched) {
    if (g_pipe[0] >= 0 || ::pipe(g_pipe) != 0)
        return;
    m_notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] {
        char c = 0;
        if (::read(g_pipe[0], &c, 1) == 1)
            emit received(int(c));
    });
    for (int s : m_signals)
        std::signal(s, onSignal);
}

ProcessSignals::~ProcessSignals() {
    if (!m_notifier)
        return;
    for (int s : m_signals)
        std::signal(s, SIG_DFL);
}

} // namespace kr7
