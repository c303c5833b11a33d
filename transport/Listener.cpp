#include "Listener.h"

#include "CallerLedger.h"
#include "CallerPolicy.h"
#include "PowerHelperConstants.h"
#include "WireReply.h"
#include "WriteAll.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <poll.h>
#include <sdbus-c++/sdbus-c++.h>
#include <stdexcept>
#include <string_view>
#include <sys/eventfd.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

namespace zelvo::transport {
namespace {

constexpr const char* accessDeniedError = "org.freedesktop.DBus.Error.AccessDenied";
constexpr const char* failedError = "org.freedesktop.DBus.Error.Failed";
constexpr const char* unknownMethodError = "org.freedesktop.DBus.Error.UnknownMethod";
constexpr const char* invalidArgsError = "org.freedesktop.DBus.Error.InvalidArgs";
constexpr const char* limitsExceededError = "org.freedesktop.DBus.Error.LimitsExceeded";
// What sd-bus reports for EEXIST, the answer to a request for a name that is taken.
constexpr const char* fileExistsError = "org.freedesktop.DBus.Error.FileExists";

constexpr const char* driverName = "org.freedesktop.DBus";
constexpr const char* driverPath = "/org/freedesktop/DBus";
// A bound on the bus thread's wait for the bus driver, which answers at once unless it is gone.
constexpr std::uint64_t driverTimeoutMicroseconds = 5'000'000;

class EventFd {
public:
    EventFd() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
        if (fd_ < 0) {
            throw std::system_error(errno, std::generic_category(), "eventfd");
        }
    }
    ~EventFd() { ::close(fd_); }
    EventFd(const EventFd&) = delete;
    EventFd& operator=(const EventFd&) = delete;

    void signal() const noexcept {
        const std::uint64_t one = 1;
        // EAGAIN means the counter is saturated, which still wakes the reader.
        while (::write(fd_, &one, sizeof one) < 0 && errno == EINTR) {
        }
    }
    void drain() const noexcept {
        std::uint64_t value = 0;
        while (::read(fd_, &value, sizeof value) < 0 && errno == EINTR) {
        }
    }
    [[nodiscard]] int fd() const noexcept { return fd_; }

private:
    int fd_;
};

// The requests awaiting their reply, shared by the bus thread and every reply function. A reply is
// sent on the thread that makes it: sdbus-c++ serialises each sd-bus call on the connection, and
// sd-bus writes a message at once when the socket takes it, so the common reply costs no hand-over.
// What the socket did not take stays queued in sd-bus; the bus thread is woken to flush it, so no
// reply ever waits for unrelated traffic.
//
// Lock order: the bus thread holds sdbus-c++'s connection lock while it runs a call and then takes
// mutex_; so nothing here calls into sd-bus while holding mutex_.
class ReplyDesk {
public:
    ReplyDesk(sdbus::IConnection& bus, const EventFd& wake)
        : bus_(bus), wake_(wake),
          ledger_({.total = Listener::maximumPendingReplies,
                   .perCaller = Listener::maximumPendingRepliesPerCaller,
                   .rootReserve = Listener::pendingRepliesReservedForRoot}) {}

    // Bus thread. Takes the request of the caller with this uid in, or throws sdbus::Error
    // (LimitsExceeded) when the caller's allowance or the backlog is used up.
    std::uint64_t add(sdbus::MethodCall call, std::uint32_t uid) {
        const std::lock_guard lock(mutex_);
        if (closed_) {
            throw sdbus::Error(failedError, "The listener is stopping");
        }
        if (auto refusal = ledger_.admit(uid)) {
            throw sdbus::Error(limitsExceededError, std::move(*refusal));
        }
        const std::uint64_t id = nextId_++;
        pending_.emplace(id, Pending{std::move(call), uid});
        count_ = pending_.size();
        return id;
    }

    // Any thread. Sends the answer to request id unless the desk is closed.
    void answer(std::uint64_t id, Answer& answer) noexcept;

    // Drops every pending request and waits for replies being sent; afterwards nothing here touches
    // the bus. Not on a thread that is sending a reply.
    void close() {
        std::unordered_map<std::uint64_t, Pending> dropped;
        {
            std::unique_lock lock(mutex_);
            closed_ = true;
            dropped.swap(pending_);
            count_ = 0;
            idle_.wait(lock, [this] { return sending_ == 0; });
        }
    }

    [[nodiscard]] std::size_t count() const noexcept { return count_; }

    // Messages sent since the bus thread last saw sd-bus's write queue empty: a bound from above
    // on what that queue holds, kept without reaching into sd-bus. Any thread.
    void noteQueued() noexcept { ++queued_; }
    void noteFlushed() noexcept { queued_ = 0; }
    [[nodiscard]] std::size_t queued() const noexcept { return queued_; }

private:
    struct Pending {
        sdbus::MethodCall call;
        std::uint32_t uid;
    };

    sdbus::IConnection& bus_;
    const EventFd& wake_;
    std::mutex mutex_;
    std::condition_variable idle_;
    std::unordered_map<std::uint64_t, Pending> pending_;
    CallerLedger ledger_;
    std::uint64_t nextId_ = 1;
    std::size_t sending_ = 0;
    bool closed_ = false;
    std::atomic<std::size_t> count_{0};
    std::atomic<std::size_t> queued_{0};
};

// Shared by every copy of one request's reply function: answers once, and answers with a failure
// when the last copy goes without having answered, so that no caller waits for ever.
class ReplyToken {
public:
    ReplyToken(std::shared_ptr<ReplyDesk> desk, std::uint64_t callId)
        : desk_(std::move(desk)), callId_(callId) {}
    ~ReplyToken() {
        try {
            answer(FailureAnswer{"The request ended without a reply"});
        } catch (...) {
            // Out of memory while building the text: the caller's own time-out ends its wait.
        }
    }
    ReplyToken(const ReplyToken&) = delete;
    ReplyToken& operator=(const ReplyToken&) = delete;

    void answer(Answer answer) noexcept {
        if (answered_.exchange(true)) {
            return;
        }
        desk_->answer(callId_, answer);
    }

private:
    std::shared_ptr<ReplyDesk> desk_;
    std::uint64_t callId_;
    std::atomic<bool> answered_{false};
};

// The reply function of hold and release, answering through the request's token.
ZelvoPowerHelperProtocol::Reply basicReply(const std::shared_ptr<ReplyToken>& token) {
    return [token](bool success, std::optional<std::string> error) {
        token->answer(BasicAnswer{success, std::move(error)});
    };
}

// Hands a request to the exported object; an object that throws is answered with a failure.
template <typename Hand>
void deliver(ReplyToken& token, Hand hand) {
    try {
        hand();
    } catch (const std::exception& error) {
        token.answer(FailureAnswer{error.what()});
    } catch (...) {
        token.answer(FailureAnswer{"The request failed"});
    }
}

class PeerConnection final : public Connection {
public:
    explicit PeerConnection(std::string peer) : peer_(std::move(peer)) {}

    void setCodeSigningRequirement(std::string requirement) override {
        requirement_ = std::move(requirement);
    }
    void setExportedInterface(PowerHelperInterface interface) override {
        interface_ = std::move(interface);
    }
    void setExportedObject(std::shared_ptr<ZelvoPowerHelperProtocol> object) override {
        object_ = std::move(object);
    }
    void resume() override { resumed_ = true; }
    [[nodiscard]] const std::string& peerName() const override { return peer_; }

    [[nodiscard]] bool hasRequirement() const noexcept { return requirement_.has_value(); }
    [[nodiscard]] const std::optional<PowerHelperInterface>& interface() const noexcept {
        return interface_;
    }
    [[nodiscard]] const std::shared_ptr<ZelvoPowerHelperProtocol>& object() const noexcept {
        return object_;
    }
    [[nodiscard]] bool resumed() const noexcept { return resumed_; }

private:
    std::string peer_;
    std::optional<std::string> requirement_;
    std::optional<PowerHelperInterface> interface_;
    std::shared_ptr<ZelvoPowerHelperProtocol> object_;
    bool resumed_ = false;
};

struct Peer {
    // Whether the bus answered the question for its credentials; credentials stays empty when the
    // answer lacked the user or the groups, and such a peer is refused wherever a requirement is
    // set.
    bool asked = false;
    std::optional<CallerCredentials> credentials;
    std::optional<bool> mayCall;
    bool offered = false;
    std::unique_ptr<PeerConnection> connection;
};

// The account a peer's requests count against when the bus gave no user for it: one caller that
// no real user can be ((uid_t)-1 is never a user id).
constexpr std::uint32_t unknownCaller = UINT32_MAX;

// Reads the a{sv} of GetConnectionCredentials. Values are read as their own types where they are
// simple, so that no sdbus::Variant (which builds a message of its own) is made for them.
std::optional<CallerCredentials> credentialsFrom(sdbus::MethodReply& reply) {
    std::optional<std::uint32_t> uid;
    std::optional<std::vector<std::uint32_t>> groups;
    if (!reply.enterContainer("{sv}")) {
        return std::nullopt;
    }
    while (reply.enterDictEntry("sv")) {
        std::string key;
        reply >> key;
        std::string type;
        std::string contents;
        reply.peekType(type, contents);
        if (contents == "u") {
            std::uint32_t value = 0;
            reply.enterVariant(contents);
            reply >> value;
            reply.exitVariant();
            if (key == "UnixUserID") {
                uid = value;
            }
        } else if (contents == "au") {
            std::vector<std::uint32_t> values;
            reply.enterVariant(contents);
            reply >> values;
            reply.exitVariant();
            if (key == "UnixGroupIDs") {
                groups = std::move(values);
            }
        } else if (contents == "ay") {
            std::vector<std::uint8_t> skipped;
            reply.enterVariant(contents);
            reply >> skipped;
            reply.exitVariant();
        } else {
            sdbus::Variant skipped;
            reply >> skipped;
        }
        reply.exitDictEntry();
    }
    reply.clearFlags();
    reply.exitContainer();
    if (!uid || !groups) {
        return std::nullopt;
    }
    return CallerCredentials{*uid, std::move(*groups)};
}

void ReplyDesk::answer(std::uint64_t id, Answer& answer) noexcept {
    std::optional<sdbus::MethodCall> call;
    {
        const std::lock_guard lock(mutex_);
        const auto found = closed_ ? pending_.end() : pending_.find(id);
        if (found == pending_.end()) {
            return;
        }
        call.emplace(std::move(found->second.call));
        ledger_.release(found->second.uid);
        pending_.erase(found);
        count_ = pending_.size();
        ++sending_;
    }
    try {
        sendReply(*call, answer);
        // The part the socket did not take is written when it becomes writable, which the bus
        // thread's poll asks for only once it looks again.
        if ((bus_.getEventLoopPollData().events & POLLOUT) != 0) {
            noteQueued();
            wake_.signal();
        }
    } catch (...) {
        // The bus is gone; the bus thread, woken, finds that out on its own.
        wake_.signal();
    }
    call.reset();
    const std::lock_guard lock(mutex_);
    --sending_;
    idle_.notify_all();
}

} // namespace

struct Listener::Impl {
    Listener& owner;
    std::string name;

    std::mutex settingsMutex;
    std::optional<std::string> listenerRequirement;
    std::weak_ptr<ListenerDelegate> delegate;

    EventFd wake;
    std::atomic<bool> stopRequested{false};
    std::atomic<std::size_t> peerCount{0};

    // Declared before what refers to it, so that it is destroyed last.
    std::unique_ptr<sdbus::IConnection> bus;
    std::unique_ptr<sdbus::IProxy> driver;
    sdbus::Slot nameOwnerChanged;
    std::unique_ptr<sdbus::IObject> object;
    // Made once the bus is up; reply functions share it and may outlive the listener.
    std::shared_ptr<ReplyDesk> desk;

    // Bus thread only (or before the thread starts and after it ends).
    std::unordered_map<std::string, Peer> peers;

    std::thread thread;

    Impl(Listener& owner, std::string name) : owner(owner), name(std::move(name)) {}

    void start();
    void run();
    void forgetEverything();
    void noteSent();
    void onCall(sdbus::MethodCall& call, std::string_view member);
    void dispatch(sdbus::MethodCall& call, std::string_view member);
    void ask(Peer& peer, const std::string& sender);
    bool mayCall(Peer& peer, const std::string& sender);
    void offer(Peer& peer, const std::string& sender);
    void onNameOwnerChanged(sdbus::Message& message);
    std::shared_ptr<ReplyToken> beginReply(const sdbus::MethodCall& call, const Peer& peer);
};

void Listener::Impl::start() {
    bus = sdbus::createSystemBusConnection();
    driver = sdbus::createProxy(*bus, driverName, driverPath);
    // Installed before anything can call: a peer's leaving is always seen after its calls. Only
    // names left without an owner (arg2 empty): connections arriving on the bus do not wake us.
    nameOwnerChanged =
        bus->addMatch("type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
                      "interface='org.freedesktop.DBus',member='NameOwnerChanged',arg2=''",
                      [this](sdbus::Message& message) { onNameOwnerChanged(message); });

    object = sdbus::createObject(*bus, std::string(PowerHelperConstants::objectPath));
    const auto interface = powerHelperInterface();
    for (const auto& selector : interface.selectors) {
        object->registerMethod(std::string(interface.interfaceName), std::string(selector.member),
                               std::string(selector.inputSignature),
                               std::string(selector.outputSignature),
                               [this, member = std::string(selector.member)](
                                   sdbus::MethodCall call) { onCall(call, member); });
    }
    object->finishRegistration();

    // sd-bus asks the bus not to queue the request, so the name is ours once this returns: a name
    // that another connection owns fails here at once (EEXIST), without a further round trip.
    try {
        bus->requestName(name);
    } catch (const sdbus::Error& error) {
        if (error.getName() == fileExistsError) {
            throw std::runtime_error("The name " + name + " is owned by another connection");
        }
        throw;
    }
    desk = std::make_shared<ReplyDesk>(*bus, wake);
}

void Listener::Impl::run() {
    try {
        while (!stopRequested) {
            // While sd-bus holds more unsent messages than the bound, no new call is read: each
            // call read adds a reply, and a bus that stops reading from us (it does when callers
            // leave our replies unread) would otherwise grow that queue without end. The bus
            // thread then waits for the socket to take more and lets sd-bus write it; each such
            // step reads at most one call.
            bool throttled = desk->queued() > Listener::maximumQueuedReplies;
            if (!throttled) {
                while (!throttled && bus->processPendingRequest()) {
                    noteSent();
                    throttled = desk->queued() > Listener::maximumQueuedReplies;
                }
            }
            const auto poll = bus->getEventLoopPollData();
            if ((poll.events & POLLOUT) == 0) {
                desk->noteFlushed();
                throttled = false;
            }
            const short events = throttled ? static_cast<short>(POLLOUT) : poll.events;
            pollfd fds[2] = {{poll.fd, events, 0}, {wake.fd(), POLLIN, 0}};
            const int ready = ::poll(fds, 2, poll.getPollTimeout());
            if (ready < 0 && errno != EINTR) {
                throw std::system_error(errno, std::generic_category(), "poll");
            }
            if ((fds[1].revents & POLLIN) != 0) {
                wake.drain();
            }
            // Writable, or sd-bus's own time-out is due.
            if (throttled && (fds[0].revents != 0 || ready == 0)) {
                (void)bus->processPendingRequest();
                noteSent();
            }
        }
    } catch (const std::exception& error) {
        (void)writeAll(STDERR_FILENO, "ZelvoPowerHelper: Bus connection lost: " +
                                          std::string(error.what()) + "\n");
    } catch (...) {
        (void)writeAll(STDERR_FILENO, "ZelvoPowerHelper: Bus connection lost: unknown error\n");
    }
    forgetEverything();
}

// Counts what the bus thread's last step may have left in sd-bus's write queue: one call read
// makes at most one reply there.
void Listener::Impl::noteSent() {
    if ((bus->getEventLoopPollData().events & POLLOUT) != 0) {
        desk->noteQueued();
    }
}

void Listener::Impl::forgetEverything() {
    if (desk) {
        desk->close();
    }
    peers.clear();
    peerCount = 0;
}

void Listener::Impl::onCall(sdbus::MethodCall& call, std::string_view member) {
    // sdbus turns an sdbus::Error into an error reply; anything else would end the process.
    try {
        dispatch(call, member);
    } catch (const sdbus::Error&) {
        throw;
    } catch (const std::exception& error) {
        throw sdbus::Error(failedError, validUtf8(error.what()));
    } catch (...) {
        throw sdbus::Error(failedError, "Internal error");
    }
}

void Listener::Impl::ask(Peer& peer, const std::string& sender) {
    try {
        auto query = driver->createMethodCall(driverName, "GetConnectionCredentials");
        query << sender;
        auto reply = driver->callMethod(query, driverTimeoutMicroseconds);
        peer.credentials = credentialsFrom(reply);
        peer.asked = true;
    } catch (const std::exception&) {
        // Asked again on the peer's next call.
    }
}

bool Listener::Impl::mayCall(Peer& peer, const std::string& sender) {
    if (!peer.asked) {
        ask(peer, sender);
        if (!peer.asked) {
            return false;
        }
    }
    if (!peer.mayCall) {
        peer.mayCall = peer.credentials && callerMayCall(*peer.credentials, clientGroupId());
    }
    return *peer.mayCall;
}

void Listener::Impl::offer(Peer& peer, const std::string& sender) {
    peer.offered = true;
    std::shared_ptr<ListenerDelegate> current;
    {
        const std::lock_guard lock(settingsMutex);
        current = delegate.lock();
    }
    if (!current) {
        return;
    }
    auto connection = std::make_unique<PeerConnection>(sender);
    bool accepted = false;
    try {
        accepted = current->shouldAcceptNewConnection(owner, *connection);
    } catch (...) {
        accepted = false;
    }
    if (accepted) {
        peer.connection = std::move(connection);
    }
}

std::shared_ptr<ReplyToken> Listener::Impl::beginReply(const sdbus::MethodCall& call,
                                                       const Peer& peer) {
    // Refused before the object is called, so a refused request leaves no work behind.
    const std::uint32_t uid = peer.credentials ? peer.credentials->uid : unknownCaller;
    return std::make_shared<ReplyToken>(desk, desk->add(call, uid));
}

void Listener::Impl::dispatch(sdbus::MethodCall& call, std::string_view member) {
    const std::string sender = call.getSender();
    auto [entry, inserted] = peers.try_emplace(sender);
    Peer& peer = entry->second;
    if (inserted) {
        peerCount = peers.size();
        // Once per peer: its requests are counted against its user whatever the requirements.
        ask(peer, sender);
    }

    bool listenerWide = false;
    {
        const std::lock_guard lock(settingsMutex);
        listenerWide = listenerRequirement.has_value();
    }
    if (listenerWide && !mayCall(peer, sender)) {
        throw sdbus::Error(accessDeniedError,
                           "The caller does not meet the listener's requirement");
    }
    if (!peer.offered) {
        offer(peer, sender);
    }
    if (!peer.connection) {
        throw sdbus::Error(accessDeniedError, "The connection was refused");
    }
    const PeerConnection& connection = *peer.connection;
    if (connection.hasRequirement() && !mayCall(peer, sender)) {
        throw sdbus::Error(accessDeniedError,
                           "The caller does not meet the connection's requirement");
    }
    if (!connection.resumed() || !connection.object()) {
        throw sdbus::Error(failedError, "The connection is not serving");
    }
    const auto& interface = connection.interface();
    const PowerHelperSelector* selector = nullptr;
    if (interface && interface->interfaceName == call.getInterfaceName()) {
        for (const auto& candidate : interface->selectors) {
            if (candidate.member == member) {
                selector = &candidate;
            }
        }
    }
    if (selector == nullptr) {
        throw sdbus::Error(unknownMethodError,
                           "The connection does not export " + std::string(member));
    }

    const auto object = connection.object();
    if (member == "HoldLidSleepDisabled") {
        std::int64_t leaseSeconds = 0;
        try {
            call >> leaseSeconds;
        } catch (const sdbus::Error& error) {
            throw sdbus::Error(invalidArgsError, error.getMessage());
        }
        const auto token = beginReply(call, peer);
        deliver(*token, [&] { object->holdLidSleepDisabled(leaseSeconds, basicReply(token)); });
    } else if (member == "Release") {
        const auto token = beginReply(call, peer);
        deliver(*token, [&] { object->release(basicReply(token)); });
    } else if (member == "Status") {
        const auto token = beginReply(call, peer);
        deliver(*token, [&] {
            object->status(
                [token](const HelperStatus& status) { token->answer(StatusAnswer{status}); });
        });
    } else {
        throw sdbus::Error(unknownMethodError, "Unknown method " + std::string(member));
    }
}

void Listener::Impl::onNameOwnerChanged(sdbus::Message& message) {
    // Runs inside sd-bus's match callback, where no exception may pass.
    try {
        if (message.getSender() != driverName) {
            return;
        }
        std::string changed;
        std::string oldOwner;
        std::string newOwner;
        message >> changed >> oldOwner >> newOwner;
        if (newOwner.empty() && !changed.empty() && changed.front() == ':') {
            peers.erase(changed);
            peerCount = peers.size();
        }
    } catch (...) {
    }
}

Listener::Listener(std::string machServiceName)
    : impl_(std::make_unique<Impl>(*this, std::move(machServiceName))) {}

Listener::~Listener() {
    if (impl_->thread.joinable()) {
        impl_->stopRequested = true;
        impl_->wake.signal();
        impl_->thread.join();
    }
    impl_->forgetEverything();
}

void Listener::setConnectionCodeSigningRequirement(std::string requirement) {
    const std::lock_guard lock(impl_->settingsMutex);
    impl_->listenerRequirement = std::move(requirement);
}

void Listener::setDelegate(std::weak_ptr<ListenerDelegate> delegate) {
    const std::lock_guard lock(impl_->settingsMutex);
    impl_->delegate = std::move(delegate);
}

void Listener::resume() {
    if (impl_->thread.joinable()) {
        return;
    }
    try {
        impl_->start();
    } catch (const std::exception& error) {
        impl_->object.reset();
        impl_->nameOwnerChanged.reset();
        impl_->driver.reset();
        impl_->bus.reset();
        throw std::runtime_error(error.what());
    }
    impl_->thread = std::thread([impl = impl_.get()] { impl->run(); });
}

const std::string& Listener::machServiceName() const noexcept {
    return impl_->name;
}

std::size_t Listener::peerCount() const noexcept {
    return impl_->peerCount;
}

std::size_t Listener::pendingReplyCount() const noexcept {
    const auto& desk = impl_->desk;
    return desk ? desk->count() : 0;
}

} // namespace zelvo::transport
