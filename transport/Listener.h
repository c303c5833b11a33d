#pragma once

#include "PowerHelperProtocol.h"

#include <memory>
#include <string>

namespace zelvo::transport {

class Listener;
class Connection;

// Decides about each new connection; called on the bus thread.
class ListenerDelegate {
public:
    virtual ~ListenerDelegate() = default;
    virtual bool shouldAcceptNewConnection(Listener& listener, Connection& connection) = 0;
};

// One client's bus connection (its unique name). Made on the peer's first call and offered to the
// listener's delegate, which configures it; dropped when the peer leaves the bus.
class Connection {
public:
    virtual ~Connection() = default;

    // The requirement a caller must meet. On Linux: the bus reports the caller's user, and it is 0
    // or a member of the group zelvo-power; anyone else gets AccessDenied and reaches no object.
    virtual void setCodeSigningRequirement(std::string requirement) = 0;
    virtual void setExportedInterface(PowerHelperInterface interface) = 0;
    virtual void setExportedObject(std::shared_ptr<ZelvoPowerHelperProtocol> object) = 0;
    // Requests are delivered to the exported object from now on.
    virtual void resume() = 0;

    // The peer's unique bus name, for example ":1.42".
    [[nodiscard]] virtual const std::string& peerName() const = 0;
};

// Publishes the well-known name on the system bus (DBUS_SYSTEM_BUS_ADDRESS is honoured) and offers
// each new peer to the delegate. Requests are decoded on the bus thread and handed to the exported
// object; a reply may be made from any thread and is sent by the bus thread. No exception escapes
// into the bus library; a call with wrong argument types gets an error reply.
class Listener {
public:
    explicit Listener(std::string machServiceName);
    ~Listener();

    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    // Imposed on every caller before any connection is offered to the delegate.
    void setConnectionCodeSigningRequirement(std::string requirement);
    // Held weakly: a delegate that is gone refuses every new connection.
    void setDelegate(std::weak_ptr<ListenerDelegate> delegate);
    // Connects to the system bus, owns the name and starts the bus thread. Throws
    // std::runtime_error (with the bus's message) when the bus cannot be reached or the name not
    // owned. Losing the bus later is written to standard error and does not end the process.
    void resume();

    [[nodiscard]] const std::string& machServiceName() const noexcept;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace zelvo::transport
