#pragma once

#include "state.h"

#include <QByteArray>
#include <QList>

#include <vector>

namespace kr7::bridge {

// GET /metrics: the Prometheus text format 0.0.4, written anew. An absent reading is an absent series.
QByteArray metricsText(const QList<ProjectorState> &projectors, const QList<LineState> &lines);

// The same text, kept between scrapes: only the projectors that changed since the last one are written again.
class MetricsText {
  public:
    MetricsText();
    ~MetricsText();
    void invalidate(int projector);
    QByteArray render(const QList<ProjectorState> &projectors, const QList<LineState> &lines);

  private:
    struct Part;
    std::vector<Part> m_parts;
    QByteArray m_out;
};

} // namespace kr7::bridge
