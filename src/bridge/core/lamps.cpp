#include "lamps.h"

#include <QDateTime>

#include <algorithm>

namespace kr7::bridge {

namespace {

void byTime(QList<LampSample> &samples) {
    std::stable_sort(samples.begin(), samples.end(),
                     [](const LampSample &a, const LampSample &b) { return a.atMs < b.atMs; });
}

} // namespace

QList<LampChange> replacementsIn(QList<LampSample> samples) {
    byTime(samples);
    QList<LampChange> out;
    for (int lamp = 0; lamp < 4; ++lamp) {
        std::optional<double> last;
        for (const LampSample &s : samples) {
            const auto h = s.hours[size_t(lamp)];
            if (!h)
                continue;
            if (last && lampReplaced(*last, *h))
                out << LampChange{lamp, s.atMs, *last, *h};
            last = h;
        }
    }
    std::stable_sort(out.begin(), out.end(),
                     [](const LampChange &a, const LampChange &b) { return a.atMs < b.atMs; });
    return out;
}

std::optional<QDate> forecastEnd(QList<LampSample> samples, int lamp, double lifeHours, qint64 nowMs,
                                 const QTimeZone &zone) {
    byTime(samples);
    constexpr qint64 kDay = 86400000;
    const qint64 since = nowMs - qint64(kForecastWindowDays) * kDay;
    // The readings of this lamp in the window, from its last replacement on.
    QList<std::pair<qint64, double>> run;
    for (const LampSample &s : samples) {
        const auto h = s.hours[size_t(lamp)];
        if (!h || s.atMs < since || s.atMs > nowMs)
            continue;
        if (!run.isEmpty() && lampReplaced(run.last().second, *h))
            run.clear();
        run << std::pair{s.atMs, *h};
    }
    if (run.size() < 2)
        return std::nullopt;
    const auto [firstAt, firstHours] = run.first();
    const auto [lastAt, lastHours] = run.last();
    const double days = double(lastAt - firstAt) / double(kDay);
    if (days < kForecastLeastDays || lastHours >= lifeHours)
        return std::nullopt;
    const double perDay = (lastHours - firstHours) / days;
    if (perDay <= 0)
        return std::nullopt;
    const double left = (lifeHours - lastHours) / perDay;
    if (left > 36500)
        return std::nullopt; // a century away is no date to plan with
    return QDateTime::fromMSecsSinceEpoch(lastAt + qint64(left * double(kDay)), Qt::UTC)
        .toTimeZone(zone)
        .date();
}

LampWear lampWear(double hours, const LampPlan &plan, int lamp) {
    if (hours >= plan.lifeHours)
        return LampWear::OverLife;
    if (hours >= plan.warnAt * plan.lifeHours)
        return LampWear::NearEnd;
    if (const auto &end = plan.forecastEnd[size_t(lamp)];
        end && plan.today.isValid() && plan.today.daysTo(*end) <= kNearEndDays)
        return LampWear::NearEnd;
    return LampWear::Fine;
}

} // namespace kr7::bridge
