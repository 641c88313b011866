#pragma once

#include "state.h"

#include <QByteArray>
#include <QList>

#include <vector>

namespace kr7::bridge {

// GET /metrics: the Prometheus text format 0.0.4, written anew. An absent reading is an absent series.
QByteArray metricsText(const QList<ProjectorState> &projectors, const QList<LineState> &lines,
                       const ServiceState &service = {});

// The same text, kept between scrapes: only the projectors that changed since the last one are written again.
class MetricsText {
  public:
    MetricsText();
    ~MetricsText();
    void invalidate(int projector);
    // The projectors are others now: everything is written again.
    void invalidateAll();
    QByteArray render(const QList<ProjectorState> &projectors, const QList<LineState> &lines,
                      const ServiceState &service = {});

  private:
    struct Part;
    std::vector<Part> m_parts;
    QByteArray m_out;
};

} // namespace kr7::bridge
