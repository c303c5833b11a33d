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
    queue_.async([self = shared_from_this(), leaseSeconds, reply = std::move(reply)] {
        try {
            self->lease_->hold(leaseSeconds, Instant::now());
        } catch (const std::exception& error) {
            const std::string description = descriptionOf(error);
            log("Hold failed: " + description);
            reply(false, description);
            return;
        }
        reply(true, std::nullopt);
    });
}

void PowerHelperService::release(Reply reply) {
    queue_.async([self = shared_from_this(), reply = std::move(reply)] {
        try {
            self->lease_->release(Instant::now());
        } catch (const std::exception& error) {
            const std::string description = descriptionOf(error);
            log("Release failed: " + description);
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
