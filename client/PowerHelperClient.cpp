#include "PowerHelperClient.h"

#include "KeyedArchive.h"
#include "PowerHelperConstants.h"

#include <algorithm>
#include <sdbus-c++/sdbus-c++.h>
#include <string_view>
#include <vector>

namespace zelvo {

namespace {

namespace Constants = PowerHelperConstants;

const std::string busName{Constants::machServiceName};
const std::string objectPath{Constants::objectPath};
const std::string interfaceName{Constants::interfaceName};

[[noreturn]] void outOfContract(const std::string& what) {
    throw HelperUnreachable("the power helper answered out of contract: " + what);
}

// A D-Bus error, from the bus, the daemon or sd-bus itself, becomes a sentence a user can act on.
[[noreturn]] void throwUnreachable(const sdbus::Error& error) {
    const auto& name = error.getName();
    if (name == "org.freedesktop.DBus.Error.AccessDenied") {
        throw HelperUnreachable("access denied: only root and members of the group " +
                                std::string(Constants::clientGroup) + " may use the power helper");
    }
    if (name == "org.freedesktop.DBus.Error.ServiceUnknown" ||
        name == "org.freedesktop.DBus.Error.NameHasNoOwner") {
        throw HelperUnreachable("the power helper (" + busName +
                                ") is not running and cannot be started on the system bus");
    }
    if (name == "org.freedesktop.DBus.Error.Timeout" ||
        name == "org.freedesktop.DBus.Error.NoReply") {
        throw HelperUnreachable("the power helper did not answer in time");
    }
    if (name == "org.freedesktop.DBus.Error.UnknownMethod" ||
        name == "org.freedesktop.DBus.Error.UnknownObject" ||
        name == "org.freedesktop.DBus.Error.UnknownInterface" ||
        name == "org.freedesktop.DBus.Error.InvalidArgs") {
        outOfContract(error.getMessage());
    }
    throw HelperUnreachable("cannot reach the power helper: " + error.getMessage() + " (" + name +
                            ")");
}

// sdbus-c++ reports reading past the last argument only through the message's flag, not by
// throwing, so a short reply is caught here; trailing arguments are refused as well.
void expectEnd(const sdbus::MethodReply& reply) {
    if (!reply) {
        outOfContract("the reply has too few arguments");
    }
    std::string type;
    std::string contents;
    reply.peekType(type, contents);
    if (!type.empty() && type[0] != '\0') {
        outOfContract("the reply has more arguments than expected");
    }
}

// The a{sv} read field by field in place: an sdbus::Variant per field would copy each value into a
// message of its own. A key sent twice keeps its first value.
KeyedArchive readFields(sdbus::MethodReply& reply) {
    KeyedArchive archive;
    if (!reply.enterContainer("{sv}")) {
        return archive; // the reply ends here: expectEnd reports it
    }
    while (reply.enterDictEntry("sv")) {
        std::string key;
        std::string type;
        std::string contents;
        reply >> key;
        reply.peekType(type, contents);
        KeyedArchive::Value value;
        reply.enterVariant(contents);
        if (contents == "s") {
            std::string text;
            reply >> text;
            value = std::move(text);
        } else if (contents == "b") {
            bool flag = false;
            reply >> flag;
            value = flag;
        } else if (contents == "x") {
            std::int64_t number = 0;
            reply >> number;
            value = number;
        } else {
            outOfContract("status field \"" + key + "\" has the D-Bus type \"" + contents + "\"");
        }
        reply.exitVariant();
        reply.exitDictEntry();
        if (archive.find(key) == nullptr) {
            archive.set(key, std::move(value));
        }
    }
    reply.clearFlags();
    reply.exitContainer();
    return archive;
}

} // namespace

struct PowerHelperClient::Impl {
    std::chrono::milliseconds timeout;
    std::unique_ptr<sdbus::IConnection> connection;
    std::unique_ptr<sdbus::IProxy> proxy;

    sdbus::IProxy& connected() {
        if (!proxy) {
            try {
                connection = sdbus::createSystemBusConnection();
            } catch (const sdbus::Error& error) {
                throw HelperUnreachable("cannot connect to the system bus: " + error.getMessage());
            }
            proxy = sdbus::createProxy(*connection, busName, objectPath);
        }
        return *proxy;
    }

    // Calls one method and hands its reply to read. Any failure drops the connection, so that a
    // later call (a renewal, say) starts from a fresh one rather than from a bus that went away.
    template <typename Fill, typename Read>
    auto call(const std::string& member, Fill fill, Read read) {
        try {
            auto& target = connected();
            auto message = target.createMethodCall(interfaceName, member);
            fill(message);
            auto reply = target.callMethod(message, timeout);
            try {
                return read(reply);
            } catch (const sdbus::Error& error) {
                outOfContract(error.getMessage());
            }
        } catch (const sdbus::Error& error) {
            disconnect();
            throwUnreachable(error);
        } catch (const HelperUnreachable&) {
            disconnect();
            throw;
        }
    }

    void disconnect() noexcept {
        proxy.reset();
        connection.reset();
    }

    // The (b, as) reply of hold and release: success, or the daemon's one-line description.
    void request(const std::string& member, std::optional<std::int64_t> argument) {
        call(
            member,
            [&](sdbus::MethodCall& message) {
                if (argument) {
                    message << *argument;
                }
            },
            [](sdbus::MethodReply& reply) {
                bool success = false;
                std::vector<std::string> error;
                reply >> success >> error;
                expectEnd(reply);
                if (error.size() > 1) {
                    outOfContract("the error has more than one description");
                }
                if (success && !error.empty()) {
                    outOfContract("a successful reply carries an error");
                }
                if (!success) {
                    throw HelperRequestFailed(
                        error.empty() ? "the power helper reported a failure without a description"
                                      : error.front());
                }
            });
    }
};

PowerHelperClient::PowerHelperClient(std::chrono::milliseconds timeout)
    : impl_(std::make_unique<Impl>()) {
    // A zero time-out would mean sd-bus's own default; the caller asked for a bound.
    impl_->timeout = std::max(timeout, std::chrono::milliseconds{1});
}

PowerHelperClient::~PowerHelperClient() = default;

void PowerHelperClient::hold(std::int64_t leaseSeconds) {
    impl_->request("HoldLidSleepDisabled", leaseSeconds);
}

void PowerHelperClient::release() {
    impl_->request("Release", std::nullopt);
}

HelperStatus PowerHelperClient::status() {
    return impl_->call(
        "Status", [](sdbus::MethodCall&) {},
        [](sdbus::MethodReply& reply) {
            std::string className;
            reply >> className;
            const KeyedArchive fields = readFields(reply);
            expectEnd(reply);
            if (className != HelperStatus::className) {
                outOfContract("the status reply is of class \"" + className + "\", not \"" +
                              std::string(HelperStatus::className) + "\"");
            }
            try {
                auto status = HelperStatus::decode(fields);
                if (!status) {
                    outOfContract("the status reply has no helperVersion");
                }
                return std::move(*status);
            } catch (const KeyedArchiveError& error) {
                outOfContract(error.what());
            }
        });
}

} // namespace zelvo
