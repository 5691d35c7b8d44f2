#pragma once

#include "common/EFailure.h"

#include <QDeadlineTimer>
#include <QString>

#include <atomic>
#include <functional>

// What may end the reading of an answer or a WSDL document before it is
// read: a deadline and a cancel flag. The readers look at both every few
// thousand steps, so that a limit or a closing window ends even a hostile
// document within a fraction of a second; the timers of the caller cannot
// strike while the thread reads.
struct TReadGuard {
    QDeadlineTimer Deadline = QDeadlineTimer(QDeadlineTimer::Forever);
    QString DeadlineText;                         // the failure when the deadline passed
    const std::atomic<bool> *Cancelled = nullptr; // set from anywhere to end the reading
    QString CancelText;                           // the failure when it was
    mutable bool Struck = false;                  // the deadline ended a reading
    // Called now and then while a reading runs on the thread that waits for
    // the user, so that the window stays drawn and a cancel button or a
    // close request is seen (and sets Cancelled) in the middle of a reading.
    std::function<void()> Pump;

    void Check() const
    {
        if (Pump && FNextPump.hasExpired()) {
            Pump();
            FNextPump.setRemainingTime(PumpInterval);
        }
        if (Cancelled && Cancelled->load(std::memory_order_relaxed))
            throw EFailure(CancelText);
        if (Deadline.hasExpired()) {
            Struck = true;
            throw EFailure(DeadlineText);
        }
    }

private:
    static constexpr int PumpInterval = 50; // milliseconds
    mutable QDeadlineTimer FNextPump = QDeadlineTimer(PumpInterval);
};

// Counts the steps of one reading and asks the guard, if any, every so many.
class TReadTicker {
public:
    explicit TReadTicker(const TReadGuard *guard) : FGuard(guard) {}

    void Tick(unsigned steps = 1)
    {
        FSteps += steps;
        if (FSteps >= Every) {
            FSteps = 0;
            Check();
        }
    }
    void Check() const
    {
        if (FGuard)
            FGuard->Check();
    }

private:
    // A step is a token or a few hundred bytes: thousands of them take far
    // less than a millisecond, and a clock read costs about as much as one.
    static constexpr unsigned Every = 4096;
    const TReadGuard *FGuard;
    unsigned FSteps = 0;
};
