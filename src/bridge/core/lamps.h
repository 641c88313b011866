#pragma once

#include <QDate>
#include <QList>
#include <QTimeZone>

#include <array>
#include <optional>

namespace kr7::bridge {

// What the bridge knows of a projector's four lamps beyond their hours: their life, when each will reach it
// at this venue's pace, when each was last replaced. Lamps are 0-3 here, 1-4 to people.
struct LampPlan {
    int lifeHours = 2000;
    double warnAt = 0.9; // near its end from this share of its life used
    std::array<std::optional<QDate>, 4> forecastEnd;
    std::array<std::optional<QDate>, 4> replaced;
    std::array<int, 4> replacements{};
    QDate today; // for "a forecast end within 14 days"; invalid: no forecast counts
    bool operator==(const LampPlan &) const = default;
};

// One reading of the four lamps' hours: a sample of the history, or a reply.
struct LampSample {
    qint64 atMs = 0;
    std::array<std::optional<double>, 4> hours;
};

// Hours that fall by more than this from one reading to the next mean a new lamp.
inline constexpr double kReplacementDropHours = 24;
inline constexpr int kForecastWindowDays = 30;
inline constexpr int kForecastLeastDays = 7;
inline constexpr int kNearEndDays = 14;

// The oldest sample a forecast at nowMs may use: its window and a day more.
inline qint64 lampSamplesSinceMs(qint64 nowMs) {
    return nowMs - qint64(kForecastWindowDays + 1) * 86400000;
}

// What is left of a lamp's life: 0 once it is spent, never below.
inline double remainingHours(double hours, double lifeHours) {
    return lifeHours > hours ? lifeHours - hours : 0.0;
}

inline bool lampReplaced(double before, double after) {
    return before - after > kReplacementDropHours;
}

struct LampChange {
    int lamp = 0;
    qint64 atMs = 0; // the reading that showed the new lamp
    double from = 0, to = 0;
};
// Every replacement the readings show, oldest first (the readings in any order: they are taken by time).
QList<LampChange> replacementsIn(QList<LampSample> samples);

// The local date the lamp reaches lifeHours at its average burn in hours per calendar day over the last 30
// days of readings (since its last replacement): absent with less than 7 days of readings, for a lamp that
// did not burn, and for one already at its life.
std::optional<QDate> forecastEnd(QList<LampSample> samples, int lamp, double lifeHours, qint64 nowMs,
                                 const QTimeZone &zone);

// Near its end: hours at or over warnAt of its life, or a forecast end within 14 days; over its life: at it.
enum class LampWear { Fine, NearEnd, OverLife };
LampWear lampWear(double hours, const LampPlan &plan, int lamp);

} // namespace kr7::bridge
