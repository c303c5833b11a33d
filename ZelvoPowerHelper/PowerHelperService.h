#pragma once

#include "Listener.h"
#include "PowerHelperProtocol.h"
#include "PowerLease.h"
#include "SerialQueue.h"

#include <functional>
#include <memory>
#include <string_view>
#include <vector>

namespace zelvo {

namespace dispatch {
class SignalSource;
class TimerSource;
} // namespace dispatch

// The daemon's one service object: the listener's delegate, the object every connection exports,
// and the owner of the serial queue on which every use of the lease manager after start-up runs.
//
// Requests arrive on the bus thread; each becomes one work item on `queue`, which reads the clock
// when it runs, makes one lease-manager call and replies. Ticks and the termination signals run on
// the same queue, so lease work is never concurrent.
//
// Must be owned by a std::shared_ptr (queued work keeps it alive until it has run), and its last
// owner must not let go of it on its own queue.
class PowerHelperService final : public transport::ListenerDelegate,
                                 public ZelvoPowerHelperProtocol,
                                 public std::enable_shared_from_this<PowerHelperService> {
public:
    explicit PowerHelperService(std::shared_ptr<PowerLeaseManager> lease);
    ~PowerHelperService() override;

    // Configures the connection (requirement, a fresh interface, this object), resumes it and
    // accepts it: admission is left to the requirement that the transport enforces.
    bool shouldAcceptNewConnection(transport::Listener& listener,
                                   transport::Connection& connection) override;

    void holdLidSleepDisabled(std::int64_t leaseSeconds, Reply reply) override;
    void release(Reply reply) override;
    void status(StatusReply reply) override;

    // Installs, on `queue`, the one-second tick (expire a run-out lease, exit 0 when idle) and the
    // SIGTERM and SIGINT sources (put the setting back, exit 0, or 1 when that fails). Call once,
    // before the listener is resumed, from a process that blocked both signals in every thread.
    void startMonitoring();

    [[nodiscard]] dispatch::SerialQueue& queue() noexcept { return queue_; }

private:
    using LeaseCall = std::function<void(PowerLeaseManager&, Instant now)>;

    // Queues one lease call; when it runs it reads the clock, makes the call and replies success,
    // or logs failurePrefix + the description and replies failure with the description.
    void serve(std::string_view failurePrefix, Reply reply, LeaseCall call);
    // One line "ZelvoPowerHelper: <message>" on standard error.
    static void log(std::string_view message);
    void onTick();
    void onTermination();

    dispatch::SerialQueue queue_;
    std::shared_ptr<PowerLeaseManager> lease_;
    std::unique_ptr<dispatch::TimerSource> timer_;
    std::vector<std::unique_ptr<dispatch::SignalSource>> terminationSources_;
};

} // namespace zelvo
