#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QSet>
#include <QStringList>
#include <QTimer>

namespace kr7::bridge {

class BridgeState;

// What changed in the state since the feed last spoke.
struct StateChanges {
    QList<int> projectors; // whose state object changed (last_seen aside), in index order
    QList<int> lines;
    bool service = false;
    // A reload: the projectors and lines are others now, indices included; a face takes everything afresh.
    // Nothing else is set with it.
    bool reset = false;
    QStringList removed; // with reset: the projectors gone
};

// The one feed of the state's changes that every face follows (MQTT, the console's stream, PJLink's copies,
// the history): the changes of a projector within kCoalesceMs go out as one (a poll round changes its
// readings one reply at a time), and a projector whose state moved only in last_seen is not passed on (every
// reply moves it).
class ChangeFeed : public QObject {
    Q_OBJECT
  public:
    static constexpr int kCoalesceMs = 200;

    explicit ChangeFeed(const BridgeState &state, QObject *parent = nullptr);

    // Passes on what is waiting now (before a face says goodbye).
    void flush();

  signals:
    void changed(const StateChanges &changes);

  private:
    void onReconfigured(const QStringList &removed);
    void due();
    QByteArray objectOf(int index) const;

    const BridgeState &m_state;
    QList<QByteArray> m_passed; // each projector's state object as last passed on, without last_seen
    QSet<int> m_projectors;
    QSet<int> m_lines;
    bool m_service = false;
    QTimer m_timer;
};

} // namespace kr7::bridge
