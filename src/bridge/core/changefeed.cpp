#include "changefeed.h"

#include "state.h"

#include <QJsonDocument>

#include <algorithm>

namespace kr7::bridge {

ChangeFeed::ChangeFeed(const BridgeState &state, QObject *parent) : QObject(parent), m_state(state) {
    m_timer.setSingleShot(true);
    m_timer.setInterval(kCoalesceMs);
    connect(&m_timer, &QTimer::timeout, this, &ChangeFeed::due);
    for (qsizetype i = 0; i < state.projectors().size(); ++i)
        m_passed << objectOf(int(i));
    const auto later = [this] {
        if (!m_timer.isActive())
            m_timer.start();
    };
    connect(&state, &BridgeState::projectorChanged, this, [this, later](int index) {
        m_projectors.insert(index);
        later();
    });
    connect(&state, &BridgeState::lineChanged, this, [this, later](int index) {
        m_lines.insert(index);
        later();
    });
    connect(&state, &BridgeState::serviceChanged, this, [this, later] {
        m_service = true;
        later();
    });
    connect(&state, &BridgeState::reconfigured, this, &ChangeFeed::onReconfigured);
}

QByteArray ChangeFeed::objectOf(int index) const {
    return QJsonDocument(stateObject(m_state.projectors()[index], false)).toJson(QJsonDocument::Compact);
}

void ChangeFeed::flush() {
    if (m_timer.isActive()) {
        m_timer.stop();
        due();
    }
}

void ChangeFeed::due() {
    StateChanges changes;
    for (const int index : std::exchange(m_projectors, {})) {
        if (index >= m_passed.size())
            continue;
        QByteArray now = objectOf(index);
        if (now != m_passed[index]) {
            m_passed[index] = std::move(now);
            changes.projectors << index;
        }
    }
    std::sort(changes.projectors.begin(), changes.projectors.end());
    changes.lines = QList<int>(m_lines.begin(), m_lines.end());
    std::sort(changes.lines.begin(), changes.lines.end());
    m_lines.clear();
    changes.service = std::exchange(m_service, false);
    if (!changes.projectors.isEmpty() || !changes.lines.isEmpty() || changes.service)
        emit changed(changes);
}

// At once, not after the window: what waits was said of projectors by their old numbers.
void ChangeFeed::onReconfigured(const QStringList &removed) {
    m_timer.stop();
    m_projectors.clear();
    m_lines.clear();
    m_service = false;
    m_passed.clear();
    for (qsizetype i = 0; i < m_state.projectors().size(); ++i)
        m_passed << objectOf(int(i));
    StateChanges changes;
    changes.reset = true;
    changes.removed = removed;
    emit changed(changes);
}

} // namespace kr7::bridge
