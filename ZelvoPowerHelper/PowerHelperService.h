#pragma once

#include "Listener.h"
#include "PowerHelperProtocol.h"
#include "PowerLease.h"
#include "SerialQueue.h"

#include <array>
#include <csignal>
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

    // The signals that end a process by default and that the daemon takes instead, so that it puts
    // the setting back before it ends.
    static constexpr std::array<int, 4> terminationSignals = {SIGTERM, SIGINT, SIGHUP, SIGQUIT};

    // Installs, on `queue`, the one-second tick (expire a run-out lease, exit 0 when idle) and one
    // source for each of terminationSignals (endProcess with 0). Call once, before the listener is
    // resumed, from a process that blocked those signals in every thread. Throws std::system_error
    // when a source cannot be made; the sources made before it stay installed.
    void startMonitoring();

    // Puts the setting back if it is held, then ends the process with statusWhenRestored, or with
    // 1 after the line "ZelvoPowerHelper: Termination restore failed: <description>" when that
    // fails (the state file still records the hold, so the next start takes it up). Call on
    // `queue`, or on the main thread while no queue may use `lease`.
    [[noreturn]] static void endProcess(PowerLeaseManager& lease, int statusWhenRestored);

    [[nodiscard]] dispatch::SerialQueue& queue() noexcept { return queue_; }

private:
    using LeaseCall = std::function<void(PowerLeaseManager&, Instant now)>;

    // Queues one lease call; when it runs it reads the clock, makes the call and replies success,
    // or logs failurePrefix + the description and replies failure with the description.
    void serve(std::string_view failurePrefix, Reply reply, LeaseCall call);
    // One line "ZelvoPowerHelper: <message>" on standard error.
    static void log(std::string_view message);
    void onTick();

    dispatch::SerialQueue queue_;
    std::shared_ptr<PowerLeaseManager> lease_;
    std::unique_ptr<dispatch::TimerSource> timer_;
    std::vector<std::unique_ptr<dispatch::SignalSource>> terminationSources_;
};

} // namespace zelvo
