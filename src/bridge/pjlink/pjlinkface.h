#pragma once

#include "face.h"
#include "pjlinkprotocol.h"
#include "setrequest.h"
#include "state.h"

#include <QHash>
#include <QPointer>
#include <QThread>

#include <array>
#include <functional>
#include <map>
#include <memory>

namespace kr7::bridge {

struct StateChanges;

// The PJLink face: each projector with a pjlink entry is a PJLink Class 2 projector on its own address and
// port. Queries are answered at once from a copy of the projector's state; settings go to the projector's
// line through the same queue as any face's commands, and are answered when the projector has answered the
// line.
//
// The listeners and their controllers live on threads of their own: a venue with hundreds of PJLink
// projectors keeps hundreds of sockets open, and every turn of an event loop walks all of its sockets (poll).
// Spread over a few threads, a controller's request wakes one loop with a quarter of them, and the lines'
// loop none. The face copies each projector's state over when the change feed says it changed; settings and
// counters come back to this thread. Nothing here ever waits for those threads but the process's end.
class PjlinkFace : public Face {
    Q_OBJECT
  public:
    static constexpr int kMaxConnections = 16;
    static constexpr int kIdleMs = 30000;
    static constexpr int kRebindMs = 10000;
    static constexpr int kRecordEveryMs = 1000;
    static constexpr int kThreads = 4;
    static constexpr int kEndWaitMs = 2000; // the most the process's end waits for the threads, all together
    static constexpr qsizetype kMaxWaitingRequests = 8;       // on one connection
    static constexpr qint64 kReadBufferBytes = 4096;          // of one connection's bytes not yet taken
    static constexpr qint64 kMaxUnreadReplyBytes = 64 * 1024; // replies its controller has not read

    static const FaceFamily kListening, kConnections, kRequests, kAuthFailures;

    PjlinkFace(FaceServices services, const Settings &settings, QObject *parent = nullptr);
    ~PjlinkFace() override;

    QString name() const override { return QStringLiteral("pjlink"); }
    // Listens for every projector that has a PJLink face; one that cannot be bound yet is said once and tried
    // again every 10 s.
    bool start(QString *error) override;
    // Listeners for projectors gone or whose pjlink entry changed are closed, new ones opened; the others
    // (and their controllers) go on.
    FaceReload reconfigure(const Settings &next) override;
    void stop() override;

    // Which thread serves a projector's face: the same for a name for as long as the process runs.
    static int threadOf(const QString &projector);

    class FaceThread;
    struct AuthLimits;

  private:
    struct Part; // what the face takes of the settings
    static Part partOf(const Config &config);
    void take(const Config &config);
    void onChanges(const StateChanges &changes);
    void copyOver(const QList<int> &indexes);
    void copyAll();
    void onEachThread(std::function<void(FaceThread &)> work);
    void submitFrom(int thread, const QString &projector, const QString &address, const SetRequest &request,
                    std::function<void(const CommandOutcome &)> done);

    FaceServices m_services;
    std::map<QString, PjlinkListen> m_listens; // the projectors with a PJLink face, by name
    PjlinkConfig m_shared;
    QHash<QString, int> m_indexOf; // those projectors' indexes in the state
    std::array<QThread, kThreads> m_threads;
    std::array<QPointer<FaceThread>, kThreads> m_faceThreads; // each lives on its thread
    std::shared_ptr<AuthLimits> m_limits;
};

} // namespace kr7::bridge
