#include "Listener.h"

#include "PowerHelperConstants.h"
#include "PrivateBus.h"
#include "TransportTestSupport.h"

#include <atomic>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <poll.h>
#include <sdbus-c++/sdbus-c++.h>
#include <set>
#include <sstream>
#include <unistd.h>

namespace zelvo::transport::test {
namespace {

namespace constants = PowerHelperConstants;
using testbus::PrivateBus;
using testbus::PrivateBusOptions;

const std::string serviceName(constants::machServiceName);
const std::string objectPath(constants::objectPath);
const std::string interfaceName(constants::interfaceName);

struct BasicReply {
    bool success;
    std::vector<std::string> error;
    bool operator==(const BasicReply&) const = default;
};

// A client of its own on the bus, driven synchronously from the test thread.
class Client {
public:
    Client()
        : connection_(sdbus::createSystemBusConnection()),
          proxy_(sdbus::createProxy(*connection_, serviceName, objectPath)) {}

    [[nodiscard]] std::string uniqueName() const { return connection_->getUniqueName(); }
    [[nodiscard]] sdbus::IProxy& proxy() { return *proxy_; }
    [[nodiscard]] sdbus::IConnection& connection() { return *connection_; }

    BasicReply hold(std::int64_t leaseSeconds) {
        BasicReply reply{};
        proxy_->callMethod("HoldLidSleepDisabled")
            .onInterface(interfaceName)
            .withTimeout(20s)
            .withArguments(leaseSeconds)
            .storeResultsTo(reply.success, reply.error);
        return reply;
    }
    BasicReply release() {
        BasicReply reply{};
        proxy_->callMethod("Release")
            .onInterface(interfaceName)
            .withTimeout(20s)
            .storeResultsTo(reply.success, reply.error);
        return reply;
    }
    std::map<std::string, sdbus::Variant> status() {
        std::string className;
        std::map<std::string, sdbus::Variant> fields;
        proxy_->callMethod("Status")
            .onInterface(interfaceName)
            .withTimeout(20s)
            .storeResultsTo(className, fields);
        EXPECT_EQ(className, "ZelvoPowerHelperStatus");
        return fields;
    }

private:
    std::unique_ptr<sdbus::IConnection> connection_;
    std::unique_ptr<sdbus::IProxy> proxy_;
};

// The D-Bus error name a call ends with, or "" when it succeeds.
std::string errorOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const sdbus::Error& error) {
        return error.getName();
    }
    return "";
}

class AListener : public testing::Test {
protected:
    void start(ScriptedDelegate::Script script = {}, PrivateBusOptions options = {}) {
        listener.reset();
        bus.reset();
        bus = std::make_unique<PrivateBus>(std::move(options));
        delegate = std::make_shared<ScriptedDelegate>(std::move(script), later);
        listener = std::make_unique<Listener>(serviceName);
        listener->setConnectionCodeSigningRequirement(std::string(constants::clientRequirement));
        listener->setDelegate(delegate);
        listener->resume();
    }

    std::unique_ptr<PrivateBus> bus;
    LaterThread later;
    std::shared_ptr<ScriptedDelegate> delegate;
    std::unique_ptr<Listener> listener;
};

TEST_F(AListener, OffersEachPeerOnceAndServesItThroughTheObjectItsDelegateExported) {
    start();
    Client first;
    Client second;

    EXPECT_EQ(first.hold(30), (BasicReply{true, {}}));
    EXPECT_EQ(second.release(), (BasicReply{true, {}}));
    EXPECT_EQ(first.release(), (BasicReply{true, {}}));
    second.status();

    EXPECT_EQ(delegate->offers(),
              (std::vector<std::string>{first.uniqueName(), second.uniqueName()}));
    EXPECT_EQ(delegate->calls(),
              (std::vector<std::string>{"hold 30", "release", "release", "status"}));
    EXPECT_NE(delegate->objectFor(first.uniqueName()), delegate->objectFor(second.uniqueName()));
}

// The reply shapes as an independent client (busctl) sees them on the wire.
TEST_F(AListener, RepliesInTheContractsWireShapes) {
    struct Case {
        const char* name;
        ScriptedObject::Script object;
        std::vector<std::string> call;
        std::string printed;
    };
    const std::vector<Case> cases = {
        {"hold succeeds", {}, {"HoldLidSleepDisabled", "x", "5"}, "bas true 0"},
        {"hold fails",
         {.error = "pmset failed"},
         {"HoldLidSleepDisabled", "x", "0"},
         "bas false 1 \"pmset failed\""},
        {"release succeeds", {}, {"Release"}, "bas true 0"},
        {"release fails with an empty text", {.error = ""}, {"Release"}, "bas false 1 \"\""},
        {"status without error",
         {.status = HelperStatus("1.1.0", true, 1, 42, std::nullopt)},
         {"Status"},
         "sa{sv} \"ZelvoPowerHelperStatus\" 4 \"helperVersion\" s \"1.1.0\" \"heldByHelper\" b "
         "true \"systemSleepDisabled\" x 1 \"leaseSecondsRemaining\" x 42"},
        {"status with error",
         {.status = HelperStatus("", false, -1, 0, "cannot read")},
         {"Status"},
         "sa{sv} \"ZelvoPowerHelperStatus\" 5 \"helperVersion\" s \"\" \"heldByHelper\" b false "
         "\"systemSleepDisabled\" x -1 \"leaseSecondsRemaining\" x 0 \"errorMessage\" s "
         "\"cannot read\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        start({.object = c.object});
        std::vector<std::string> command = {"busctl",   "--address=" + bus->address(),
                                            "call",     serviceName,
                                            objectPath, interfaceName};
        command.insert(command.end(), c.call.begin(), c.call.end());
        const auto result = testbus::runCommand(command);
        EXPECT_EQ(result.exitStatus, 0) << result.standardError;
        EXPECT_EQ(result.standardOutput, c.printed + "\n");
    }
}

TEST_F(AListener, SendsTextThatIsNotUtf8WithReplacementCharacters) {
    start({.object = {.error = std::string("bad \xff byte"),
                      .status = HelperStatus("1.\xc3", false, -1, 0, "\xfe")}});
    Client client;

    EXPECT_EQ(client.hold(1), (BasicReply{false, {"bad \xEF\xBF\xBD byte"}}));
    auto fields = client.status();
    EXPECT_EQ(fields.at("helperVersion").get<std::string>(), "1.\xEF\xBF\xBD");
    EXPECT_EQ(fields.at("errorMessage").get<std::string>(), "\xEF\xBF\xBD");
}

TEST_F(AListener, DeliversAReplyMadeLaterOnAnotherThreadWithoutWaitingForMoreTraffic) {
    start({.object = {.answering = Answering::later, .delay = 300ms}});
    Client client;

    // Nothing else arrives on the bus while the reply waits to be sent: a reply that sat unsent
    // until the next incoming message would run into the client's 20 s time-out.
    for (int round = 0; round < 3; ++round) {
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(client.hold(7), (BasicReply{true, {}}));
        EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
    }
}

// A reply far larger than the socket buffer cannot be written at once; what is left must still
// go out while nothing else happens on the bus, whichever thread made the reply.
TEST_F(AListener, DeliversAReplyLargerThanTheSocketBufferMadeOnAnyThread) {
    // sd-bus asks for an 8 MiB send buffer, and the bus drains it while a write goes on.
    const std::string text(24 << 20, 'x');
    for (const auto answering : {Answering::later, Answering::immediately}) {
        SCOPED_TRACE(static_cast<int>(answering));
        start({.object = {.answering = answering,
                          .delay = 50ms,
                          .status = HelperStatus("1.1.0", false, 0, 0, text)}});
        Client client;
        EXPECT_EQ(client.status().at("errorMessage").get<std::string>(), text);
        EXPECT_TRUE(eventually([&] { return listener->pendingReplyCount() == 0; }));
    }
}

TEST_F(AListener, AnswersManyConcurrentCallsEachWithItsOwnReply) {
    start({.object = {.answering = Answering::later, .delay = 2ms}});
    constexpr int peers = 8;
    constexpr int callsPerPeer = 60;

    std::atomic<int> matched{0};
    std::atomic<int> failed{0};
    std::vector<std::thread> threads;
    for (int p = 0; p < peers; ++p) {
        threads.emplace_back([&, p] {
            try {
                Client client;
                int answered = 0;
                for (int i = 0; i < callsPerPeer; ++i) {
                    const std::int64_t tag = -(p * 1000 + i + 1);
                    client.proxy()
                        .callMethodAsync("HoldLidSleepDisabled")
                        .onInterface(interfaceName)
                        .withTimeout(30s)
                        .withArguments(tag)
                        .uponReplyInvoke([&, tag](const sdbus::Error* error, bool success,
                                                  std::vector<std::string> text) {
                            ++answered;
                            const bool right = error == nullptr && !success &&
                                               text == std::vector{std::to_string(tag)};
                            ++(right ? matched : failed);
                        });
                }
                // This client's own loop, on this thread only.
                const auto deadline = std::chrono::steady_clock::now() + 30s;
                while (answered < callsPerPeer && std::chrono::steady_clock::now() < deadline) {
                    while (client.connection().processPendingRequest()) {
                    }
                    if (answered == callsPerPeer) {
                        break;
                    }
                    const auto data = client.connection().getEventLoopPollData();
                    pollfd fd{data.fd, data.events, 0};
                    ::poll(&fd, 1, 100);
                }
            } catch (const std::exception&) {
                ++failed;
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }

    EXPECT_EQ(matched, peers * callsPerPeer);
    EXPECT_EQ(failed, 0);
    EXPECT_TRUE(eventually([&] { return listener->pendingReplyCount() == 0; }));
    EXPECT_TRUE(eventually([&] { return listener->peerCount() == 0; }));
}

TEST_F(AListener, AnswersEveryCallExactlyOnceWhateverTheObjectDoes) {
    struct Case {
        Answering answering;
        std::string error;
    };
    const std::vector<Case> cases = {
        {Answering::immediately, ""},
        {Answering::never, "org.freedesktop.DBus.Error.Failed"},
        {Answering::throwing, "org.freedesktop.DBus.Error.Failed"},
        {Answering::twice, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.answering));
        start({.object = {.answering = c.answering}});
        Client client;

        BasicReply first{};
        EXPECT_EQ(errorOf([&] { first = client.hold(3); }), c.error);
        if (c.error.empty()) {
            EXPECT_EQ(first, (BasicReply{true, {}}));
        }
        EXPECT_EQ(errorOf([&] { client.release(); }), c.error);
        // A second answer would reach the client as a reply to nothing; Ping shows the
        // connection is in step and the listener still serves.
        EXPECT_EQ(errorOf([&] {
                      client.proxy().callMethod("Ping").onInterface("org.freedesktop.DBus.Peer");
                  }),
                  "");
        EXPECT_TRUE(eventually([&] { return listener->pendingReplyCount() == 0; }));
    }
}

TEST_F(AListener, RefusesEveryCallOfAConnectionItsDelegateDidNotAccept) {
    struct Case {
        const char* name;
        ScriptedDelegate::Script script;
        bool dropDelegate;
        std::string error;
        std::size_t offers;
    };
    const std::vector<Case> cases = {
        {"refused", {.accept = false}, false, "org.freedesktop.DBus.Error.AccessDenied", 1},
        {"delegate throws",
         {.throwing = true},
         false,
         "org.freedesktop.DBus.Error.AccessDenied",
         1},
        {"delegate gone", {}, true, "org.freedesktop.DBus.Error.AccessDenied", 0},
        {"not resumed", {.resume = false}, false, "org.freedesktop.DBus.Error.Failed", 1},
        {"no exported interface",
         {.exportInterface = false},
         false,
         "org.freedesktop.DBus.Error.UnknownMethod",
         1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        start(c.script);
        if (c.dropDelegate) {
            delegate.reset();
            delegate = std::make_shared<ScriptedDelegate>(ScriptedDelegate::Script{}, later);
        }
        Client client;

        EXPECT_EQ(errorOf([&] { client.hold(5); }), c.error);
        EXPECT_EQ(errorOf([&] { client.status(); }), c.error);
        EXPECT_EQ(delegate->offers().size(), c.offers);
        EXPECT_TRUE(delegate->calls().empty());
    }
}

TEST_F(AListener, AnswersWrongArgumentTypesWithAnErrorAndGoesOnServing) {
    start();
    Client client;
    const std::vector<std::function<void()>> badCalls = {
        [&] {
            client.proxy()
                .callMethod("HoldLidSleepDisabled")
                .onInterface(interfaceName)
                .withArguments(std::string("60"));
        },
        [&] {
            client.proxy()
                .callMethod("HoldLidSleepDisabled")
                .onInterface(interfaceName)
                .withArguments(std::int32_t{60});
        },
        [&] { client.proxy().callMethod("HoldLidSleepDisabled").onInterface(interfaceName); },
        [&] {
            client.proxy()
                .callMethod("HoldLidSleepDisabled")
                .onInterface(interfaceName)
                .withArguments(std::int64_t{60}, std::int64_t{60});
        },
        [&] {
            client.proxy().callMethod("Release").onInterface(interfaceName).withArguments(true);
        },
        [&] {
            client.proxy()
                .callMethod("Status")
                .onInterface(interfaceName)
                .withArguments(std::map<std::string, sdbus::Variant>{});
        },
        [&] { client.proxy().callMethod("Sleep").onInterface(interfaceName); },
    };
    for (std::size_t i = 0; i < badCalls.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_NE(errorOf(badCalls[i]), "");
        EXPECT_EQ(client.hold(9), (BasicReply{true, {}}));
    }
    EXPECT_EQ(delegate->calls(), std::vector<std::string>(badCalls.size(), "hold 9"));
}

TEST_F(AListener, DropsThePeersThatLeaveTheBus) {
    start();
    std::weak_ptr<ScriptedObject> exported;
    {
        Client client;
        client.status();
        exported = delegate->objectFor(client.uniqueName());
        ASSERT_FALSE(exported.expired());
        EXPECT_EQ(listener->peerCount(), 1u);
    }
    EXPECT_TRUE(eventually([&] { return exported.expired(); }));

    // Refused peers are forgotten too, and the records stay flat however many peers come and go.
    for (int i = 0; i < 40; ++i) {
        Client client;
        client.release();
        errorOf([&] { client.proxy().callMethod("Sleep").onInterface(interfaceName); });
    }
    EXPECT_TRUE(eventually([&] { return listener->peerCount() == 0; }));
    EXPECT_EQ(listener->pendingReplyCount(), 0u);
}

// Standard error, redirected to a file while it lives.
class CapturedStandardError {
public:
    CapturedStandardError()
        : path_(std::filesystem::temp_directory_path() / "zelvo-stderr.XXXXXX") {
        std::string pattern = path_.string();
        const int fd = ::mkstemp(pattern.data());
        path_ = pattern;
        saved_ = ::dup(STDERR_FILENO);
        ::dup2(fd, STDERR_FILENO);
        ::close(fd);
    }
    ~CapturedStandardError() {
        ::dup2(saved_, STDERR_FILENO);
        ::close(saved_);
        std::filesystem::remove(path_);
    }
    [[nodiscard]] std::string text() const {
        std::ifstream file(path_);
        return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    }

private:
    std::filesystem::path path_;
    int saved_ = -1;
};

TEST_F(AListener, WritesOneLineAndStopsServingWhenTheBusGoesAway) {
    start({.object = {.answering = Answering::kept}});
    auto client = std::make_unique<Client>();
    const std::string peer = client->uniqueName();
    std::thread waiting([&] { errorOf([&] { client->hold(5); }); });
    ASSERT_TRUE(eventually([&] { return delegate->calls().size() == 1; }));
    auto exported = delegate->objectFor(peer);

    const std::string prefix = "ZelvoPowerHelper: Bus connection lost: ";
    {
        CapturedStandardError captured;
        bus->killBus();
        EXPECT_TRUE(eventually([&] { return captured.text().find('\n') != std::string::npos; }));
        waiting.join();
        // A reply made after the loss goes nowhere and harms nothing.
        exported->answerKept();
        const auto text = captured.text();
        EXPECT_EQ(text.rfind(prefix, 0), 0u) << text;
        EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1);
    }
    EXPECT_TRUE(eventually([&] { return listener->peerCount() == 0; }));
    EXPECT_EQ(listener->pendingReplyCount(), 0u);
    client.reset();
    listener.reset();
}

TEST(AListenerResume, ThrowsWhenTheBusCannotBeReachedOrTheNameIsTaken) {
    {
        PrivateBus bus;
        Listener owner(serviceName);
        owner.resume();
        Listener second(serviceName);
        try {
            second.resume();
            ADD_FAILURE() << "a second listener owned the name";
        } catch (const std::runtime_error& error) {
            EXPECT_STREQ(error.what(),
                         ("The name " + serviceName + " is owned by another connection").c_str());
        }
    }
    const char* previous = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/zelvo-bus.socket", 1);
    Listener unreachable(serviceName);
    EXPECT_THROW(unreachable.resume(), std::runtime_error);
    if (previous != nullptr) {
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", previous, 1);
    } else {
        ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    }
}

std::set<int> openDescriptors() {
    std::set<int> fds;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        fds.insert(std::stoi(entry.path().filename().string()));
    }
    return fds;
}

TEST_F(AListener, OpensOnlyCloseOnExecDescriptors) {
    const auto before = openDescriptors();
    start();
    Client client;
    client.status();

    for (const int fd : openDescriptors()) {
        const int flags = ::fcntl(fd, F_GETFD);
        if (before.count(fd) == 0 && flags >= 0) {
            EXPECT_TRUE(flags & FD_CLOEXEC)
                << "descriptor " << fd << " -> "
                << std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd));
        }
    }
}

} // namespace
} // namespace zelvo::transport::test
