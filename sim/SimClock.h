#ifndef TIVAKO_SIM_SIMCLOCK_H
#define TIVAKO_SIM_SIMCLOCK_H

// Time source of the virtual boards. Everything the boards do happens at a
// time on this clock, in nanoseconds; the boards compute lazily up to "now"
// whenever they are asked, so no thread ticks in the background.
//
// The steady clock is the normal one. A manual clock lets a test step
// through time exactly: nothing moves until the test advances it.

#include <atomic>
#include <cstdint>
#include <memory>

class SimClock
{
public:
    virtual ~SimClock() = default;
    virtual int64_t nowNs() const = 0;
    // Blocks the calling thread until the clock reads at least t.
    virtual void sleepUntil(int64_t t) = 0;
};

// Monotonic wall time, counted from the clock's creation.
class SteadySimClock : public SimClock
{
public:
    SteadySimClock();
    int64_t nowNs() const override;
    void sleepUntil(int64_t t) override;

private:
    int64_t m_origin;
};

// Time that moves only when told. sleepUntil moves it forward to t at once,
// as if the caller had waited.
class ManualSimClock : public SimClock
{
public:
    explicit ManualSimClock(int64_t start = 0) : m_now(start) {}
    int64_t nowNs() const override { return m_now.load(); }
    void sleepUntil(int64_t t) override;
    void advanceNs(int64_t delta);
    void advanceMs(int64_t ms) { advanceNs(ms * 1000000); }
    void setNs(int64_t t);

private:
    std::atomic<int64_t> m_now;
};

#endif
