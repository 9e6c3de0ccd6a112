#include "sim/SimClock.h"

#include "bridge/BridgeLibrary.h"

#include <chrono>
#include <thread>

namespace {
int64_t steadyNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
} // namespace

SteadySimClock::SteadySimClock() : m_origin(steadyNs()) {}

int64_t SteadySimClock::nowNs() const
{
    return steadyNs() - m_origin;
}

void SteadySimClock::sleepUntil(int64_t t)
{
    int64_t left = t - nowNs();
    while (left > 0) {
        std::this_thread::sleep_for(std::chrono::nanoseconds(left));
        left = t - nowNs();
    }
}

void ManualSimClock::sleepUntil(int64_t t)
{
    int64_t now = m_now.load();
    while (now < t && !m_now.compare_exchange_weak(now, t)) {
    }
}

void ManualSimClock::advanceNs(int64_t delta)
{
    if (delta > 0) {
        m_now.fetch_add(delta);
        // A host asleep until a board event learns that the time moved.
        bridgeWake(BRIDGE_WAKE_RECEIVED);
    }
}

void ManualSimClock::setNs(int64_t t)
{
    sleepUntil(t);
    bridgeWake(BRIDGE_WAKE_RECEIVED);
}
