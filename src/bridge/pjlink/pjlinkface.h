#pragma once

#include "config.h"
#include "pjlinkprotocol.h"
#include "setrequest.h"
#include "state.h"

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QThread>

#include <array>
#include <functional>

namespace kr7::bridge {

// The PJLink face: each projector with a pjlink entry is a PJLink Class 2 projector on its own address and
// port. Queries are answered at once from a copy of the projector's state; settings go to the projector's
// line through the same queue as any face's commands, and are answered when the projector has answered the
// line.
//
// The listeners and their controllers live on threads of their own: a venue with hundreds of PJLink
// projectors keeps hundreds of sockets open, and every turn of an event loop walks all of its sockets (poll).
// Spread over a few threads, a controller's request wakes one loop with a quarter of them, and the lines'
// loop none. The face copies each projector's state over when it changes; settings and counters come back to
// this thread.
class PjlinkFace : public QObject {
    Q_OBJECT
  public:
    using Submit = SubmitRequest;
    // A face's samples go into the state through this.
    using Record = std::function<void(int projector, const FaceFamily *family, double value)>;

    static constexpr int kMaxConnections = 16;
    static constexpr int kIdleMs = 30000;
    static constexpr int kRebindMs = 10000;
    static constexpr int kRecordEveryMs = 1000;
    static constexpr int kThreads = 4;

    static const FaceFamily kListening, kConnections, kRequests, kAuthFailures;

    PjlinkFace(const BridgeState &state, const Config &config, Submit submit, Record record,
               QObject *parent = nullptr);
    ~PjlinkFace() override;

    // Listens for every projector that has a PJLink face; one that cannot be bound yet is said once and tried
    // again every 10 s.
    void start();
    void stop();
    // A reload: listeners for projectors gone or whose pjlink entry changed are closed, new ones opened; the
    // others (and their controllers) go on.
    void reconfigure(const Config &config);

    class Listeners;

    // Which thread serves a projector's face: the same for a name for as long as the process runs.
    static int threadOf(const QString &projector);

  private:
    void copyChanged();
    void copyOver(const QList<int> &indexes, bool all);
    void onEachThread(const std::function<void(Listeners &)> &work);

    const BridgeState &m_state;
    Submit m_submit;
    Record m_record;
    QHash<QString, int> m_indexOf; // projectors with a PJLink face, by name
    QSet<int> m_changed;           // projectors whose copy is behind
    std::array<QThread, kThreads> m_threads;
    std::array<QPointer<Listeners>, kThreads> m_listeners; // each lives on its thread
};

} // namespace kr7::bridge
