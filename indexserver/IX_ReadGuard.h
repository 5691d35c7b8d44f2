#pragma once

#include "common/EFailure.h"

#include <QDeadlineTimer>
#include <QString>

#include <atomic>

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

    void Check() const
    {
        if (Cancelled && Cancelled->load(std::memory_order_relaxed))
            throw EFailure(CancelText);
        if (Deadline.hasExpired()) {
            Struck = true;
            throw EFailure(DeadlineText);
        }
    }
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
