#pragma once

#include "config.h"
#include "pjlinkprotocol.h"
#include "setrequest.h"
#include "state.h"

#include <QHostAddress>
#include <QObject>
#include <QTimer>

#include <functional>
#include <map>
#include <memory>

class QTcpServer;

namespace kr7::bridge {

// The PJLink face: each projector with a pjlink entry is a PJLink Class 2 projector on its own address and
// port. Queries are answered from the state at once; settings go to the projector's line through the same
// queue as any face's commands, and are answered when the projector has answered the line.
class PjlinkFace : public QObject {
    Q_OBJECT
  public:
    using Submit =
        std::function<void(int projector, const SetRequest &, std::function<void(const CommandOutcome &)>)>;
    // A face's samples go into the state through this.
    using Record = std::function<void(int projector, const FaceFamily *family, double value)>;

    static constexpr int kMaxConnections = 16;
    static constexpr int kIdleMs = 30000;
    static constexpr int kRebindMs = 10000;
    static constexpr int kRecordEveryMs = 1000;

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

  private:
    struct Listener;
    struct Connection;
    void listen(Listener &l);
    void accept(Listener &l);
    void onBytes(Connection *c);
    void answer(Connection *c, const PjlinkRequest &request);
    void flush(Connection *c);
    void drop(Connection *c);
    PjlinkProjector view(const Listener &l) const;
    void record(const Listener &l, const FaceFamily *family, double value);
    void recordNow();

    const BridgeState &m_state;
    PjlinkConfig m_config;
    Submit m_submit;
    Record m_record;
    std::map<QString, std::unique_ptr<Listener>> m_listeners; // by projector name
    bool m_started = false;
    std::map<QString, std::map<const FaceFamily *, double>> m_unrecorded;
    QTimer m_recordTimer;
};

} // namespace kr7::bridge
