#pragma once

// Shared by the benchmarks: clocks, statistics, the process's CPU and memory, and the far end of a line.

#include <QCoreApplication>
#include <QEventLoop>
#include <QString>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;
inline double ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

inline double percentile(std::vector<double> v, double p) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p / 100.0 * double(v.size())))];
}

inline double threadCpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

inline long rssKb() {
    long pages = 0, resident = 0;
    if (FILE *f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(f);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// The far end of the line: a reader thread that stamps every carriage return it sees.
struct FarEnd {
    int master = -1;
    int held = -1;
    QString slave;
    std::thread reader;
    std::atomic<bool> stop{false};
    std::mutex lock;
    std::vector<Clock::time_point> lineEnds;

    FarEnd() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        grantpt(master);
        unlockpt(master);
        slave = QString::fromLocal8Bit(ptsname(master));
        // Held open, so that the master never reads a hang-up while the panel or a gateway has the line
        // closed.
        held = ::open(ptsname(master), O_RDWR | O_NOCTTY);
        reader = std::thread([this] {
            char buf[4096];
            while (!stop) {
                pollfd p{master, POLLIN, 0};
                if (poll(&p, 1, 20) <= 0)
                    continue;
                const ssize_t n = read(master, buf, sizeof buf);
                const auto now = Clock::now();
                std::lock_guard g(lock);
                for (ssize_t i = 0; i < n; ++i)
                    if (buf[i] == '\r')
                        lineEnds.push_back(now);
            }
        });
    }
    ~FarEnd() {
        stop = true;
        reader.join();
        close(held);
        close(master);
    }
    std::vector<Clock::time_point> take() {
        std::lock_guard g(lock);
        return std::exchange(lineEnds, {});
    }
};

// Runs the event loop for the given time. QTest::qWait sleeps 10 ms between its rounds, which would show
// as timer jitter.
inline void runFor(int milliseconds) {
    QEventLoop loop;
    QTimer::singleShot(milliseconds, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

inline void printStats(const char *what, const std::vector<double> &v) {
    std::printf("%-28s n=%zu  median %.3f ms  p99 %.3f ms  max %.3f ms\n", what, v.size(), percentile(v, 50),
                percentile(v, 99), v.empty() ? 0.0 : *std::max_element(v.begin(), v.end()));
}

} // namespace bench
