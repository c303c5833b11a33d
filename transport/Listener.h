#pragma once

#include "PowerHelperProtocol.h"

#include <cstddef>
#include <memory>
#include <string>

namespace zelvo::transport {

class Listener;
class Connection;

// Decides about each new connection; called on the bus thread. An exception it throws refuses the
// connection.
class ListenerDelegate {
public:
    virtual ~ListenerDelegate() = default;
    virtual bool shouldAcceptNewConnection(Listener& listener, Connection& connection) = 0;
};

// One client's bus connection (its unique name). Made on the peer's first call and offered to the
// listener's delegate, which configures it; dropped when the peer leaves the bus.
//
// The listener owns it. Configure it on the bus thread, inside shouldAcceptNewConnection: a
// connection that is not resumed with an exported interface and object when the delegate returns
// answers every call with an error. A refused connection (the delegate said no, threw, or is gone)
// answers AccessDenied until its peer leaves. A reference to it is valid until the peer leaves.
class Connection {
public:
    virtual ~Connection() = default;

    // The requirement a caller must meet. On Linux: the bus recorded for the caller the user 0, or
    // the group zelvo-power among the groups its connection holds; anyone else gets AccessDenied
    // and reaches no object.
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
// object; a reply may be made from any thread and is sent on that thread, at once (what the socket
// cannot take at once is written by the bus thread as soon as it can be). No exception escapes into
// the bus library; a call with wrong argument types gets an error reply.
//
// Replies: each request's reply function answers at most once (later calls are ignored); a reply
// function destroyed without answering, or an exported object that throws, answers the caller
// with org.freedesktop.DBus.Error.Failed. Texts that are not valid UTF-8 are sent with each invalid
// sequence replaced by U+FFFD.
//
// A requirement, once set (listener-wide or per connection), is checked against what the bus
// recorded for the caller when it connected (GetConnectionCredentials: UnixUserID and
// UnixGroupIDs), with callerMayCall (CallerPolicy.h): the groups the connection holds, as the bus
// policy sees them, not the user database's. They are asked for once per peer, on its first call;
// a caller whose credentials lack either is refused, and one whose credentials cannot be had (the
// bus did not answer) is refused and asked again on its next call.
//
// Backlog: requests handed to exported objects and not yet replied to are counted per caller (the
// user the bus recorded; a peer without one counts as one unknown caller) with the limits below.
// A request beyond them is answered at once with org.freedesktop.DBus.Error.LimitsExceeded
// ("ZelvoPowerHelper is busy: N requests are waiting", or "... N requests of this caller are
// waiting") and never reaches the object, so a flood cannot grow the work waiting behind the
// service, and one member's flood leaves everyone else served.
//
// Memory: while more than maximumQueuedReplies messages may wait unsent in the bus connection's
// write queue (a bus that stops reading from us, as it does when callers leave replies unread),
// no new call is read from the bus; calls wait in the bus, which bounds them, until the queue
// drains.
class Listener {
public:
    // Room for hundreds of clients that each wait for their reply, with a margin.
    static constexpr std::size_t maximumPendingReplies = 512;
    // A caller other than root: a client waits for each reply, so a handful is the common case.
    // Small, because the service answers in order of arrival: what one member has in flight is
    // what every other caller may wait behind.
    static constexpr std::size_t maximumPendingRepliesPerCaller = 16;
    // The part of the backlog that callers other than root together cannot take.
    static constexpr std::size_t pendingRepliesReservedForRoot = 128;
    // About a megabyte of replies.
    static constexpr std::size_t maximumQueuedReplies = 1024;

    explicit Listener(std::string machServiceName);

    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    // Stops the bus thread, drops every connection and releases the name. Replies made after this
    // are discarded. Must not run on the bus thread.
    ~Listener();

    // Imposed on every caller before any connection is offered to the delegate. Call before
    // resume().
    void setConnectionCodeSigningRequirement(std::string requirement);
    // Held weakly: a delegate that is gone refuses every new connection. Call before resume().
    void setDelegate(std::weak_ptr<ListenerDelegate> delegate);
    // Connects to the system bus, owns the name and starts the bus thread. Throws
    // std::runtime_error (with the bus's message) when the bus cannot be reached or the name not
    // owned (for example because another process owns it). Losing the bus later is written to
    // standard error as one line, "ZelvoPowerHelper: Bus connection lost: <what>", and does not end
    // the process: serving stops, every connection is dropped. A second call does nothing.
    void resume();

    [[nodiscard]] const std::string& machServiceName() const noexcept;

    // Peers the listener keeps a record for (offered, refused or accepted), and requests whose
    // reply has not been sent yet. Both fall back to 0 when peers leave and replies are made. Any
    // thread.
    [[nodiscard]] std::size_t peerCount() const noexcept;
    [[nodiscard]] std::size_t pendingReplyCount() const noexcept;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace zelvo::transport
