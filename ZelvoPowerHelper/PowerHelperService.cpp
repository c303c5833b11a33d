#include "PowerHelperService.h"

#include "Log.h"
#include "PowerHelperConstants.h"
#include "PowerHelperError.h"
#include "SignalSource.h"
#include "TimerSource.h"

#include <string>
#include <utility>

namespace zelvo {

PowerHelperService::PowerHelperService(std::shared_ptr<PowerLeaseManager> lease)
    : queue_(std::string(PowerHelperConstants::queueLabel)), lease_(std::move(lease)) {}

// The sources go before the queue they deliver on (members are destroyed in reverse order).
PowerHelperService::~PowerHelperService() = default;

bool PowerHelperService::shouldAcceptNewConnection(transport::Listener&,
                                                   transport::Connection& connection) {
    connection.setCodeSigningRequirement(std::string(PowerHelperConstants::clientRequirement));
    connection.setExportedInterface(powerHelperInterface());
    connection.setExportedObject(shared_from_this());
    connection.resume();
    return true;
}

void PowerHelperService::holdLidSleepDisabled(std::int64_t leaseSeconds, Reply reply) {
    serve("Hold failed: ", std::move(reply),
          [leaseSeconds](PowerLeaseManager& lease, Instant now) { lease.hold(leaseSeconds, now); });
}

void PowerHelperService::release(Reply reply) {
    serve("Release failed: ", std::move(reply),
          [](PowerLeaseManager& lease, Instant now) { lease.release(now); });
}

void PowerHelperService::serve(std::string_view failurePrefix, Reply reply, LeaseCall call) {
    queue_.async([self = shared_from_this(), failurePrefix, reply = std::move(reply),
                  call = std::move(call)] {
        try {
            call(*self->lease_, Instant::now());
        } catch (const std::exception& error) {
            const std::string description = descriptionOf(error);
            log(std::string(failurePrefix) + description);
            reply(false, description);
            return;
        }
        reply(true, std::nullopt);
    });
}

void PowerHelperService::status(StatusReply reply) {
    queue_.async([self = shared_from_this(), reply = std::move(reply)] {
        reply(self->lease_->status(Instant::now()));
    });
}

void PowerHelperService::log(std::string_view message) {
    std::string line = "ZelvoPowerHelper: ";
    line.append(message);
    writeStandardErrorLine(line);
}

} // namespace zelvo
