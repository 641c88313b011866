#include "limiter.h"

#include <algorithm>

namespace kr7::bridge {

bool LoginLimiter::blocked(const QString &address, qint64 now) const {
    const auto it = m_records.constFind(address);
    return it != m_records.constEnd() && it->blockedUntil > now;
}

bool LoginLimiter::failed(const QString &address, qint64 now) {
    if (!m_records.contains(address) && m_records.size() >= kMaxAddresses) {
        // Forget what is over first, then the quietest.
        for (auto it = m_records.begin(); it != m_records.end();)
            it = it->blockedUntil <= now && now - it->last > kWindowMs ? m_records.erase(it) : std::next(it);
        if (m_records.size() >= kMaxAddresses)
            m_records.erase(
                std::min_element(m_records.begin(), m_records.end(),
                                 [](const Record &a, const Record &b) { return a.last < b.last; }));
    }
    Record &r = m_records[address];
    r.last = now;
    r.failures.push_back(now);
    while (!r.failures.empty() && now - r.failures.front() >= kWindowMs)
        r.failures.pop_front();
    if (int(r.failures.size()) < kMaxFailures)
        return false;
    r.blockedUntil = now + kBlockMs;
    r.failures.clear();
    return true;
}

} // namespace kr7::bridge
