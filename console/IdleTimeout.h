// The --timeout rule: a run fails when the device has sent no byte for a given time.
// Counted from the moment the port is open and restarted by every received byte.
#pragma once

class IdleTimeout {
public:
    // limitSeconds 0 (or less) means the run never times out.
    explicit IdleTimeout(double limitSeconds)
        : m_dLimit(limitSeconds > 0 ? limitSeconds : 0)
    {
    }

    // The port was opened, or a byte arrived, at time now (seconds).
    void Restart(double now) { m_dLastActivity = now; }
    // Whether the limit has passed since the last Restart.
    bool Expired(double now) const { return m_dLimit > 0 && now - m_dLastActivity >= m_dLimit; }
    double Limit() const { return m_dLimit; }

private:
    double m_dLimit;
    double m_dLastActivity = 0;
};
