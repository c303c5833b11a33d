// zelvo-bench: measures the running daemon against the floors of the work it cannot avoid, in one
// run and interleaved, so that drift of the machine hits every figure alike. Expects a private bus
// in DBUS_SYSTEM_BUS_ADDRESS that may activate both the daemon and the minimal server and lets the
// composed server own its name (see scripts/bench, which sets all of this up). Prints one table
// and writes it as JSON.
//
// Never fails on a figure: it exits with 0 whatever the ratios are, and with 1 only when it could
// not measure (a program missing, a request failing).

#include "ComposedServer.h"
#include "Floors.h"
#include "Measure.h"
#include "MinimalServer.h"
#include "PowerHelperClient.h"
#include "PowerHelperConstants.h"
#include "PowerStateFile.h"
#include "Report.h"
#include "SystemPMSetRunner.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <latch>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace zelvo::bench {
namespace {

const std::string daemonName{PowerHelperConstants::machServiceName};
const std::string serverName{minimal::busName};
const std::string composedName{composed::busName};
constexpr auto nameTimeout = std::chrono::seconds(10);
constexpr std::int64_t lease = 60;

struct Options {
    std::string daemon;        // the testbed executable
    std::string server;        // bench-minimal-server
    std::string composed;      // bench-composed-server
    std::string pmset;         // the stand-in as "pmset" in the daemon's folder
    std::string floorPmset;    // the stand-in as "pmset" in a folder of the floors' own
    std::string composedPmset; // the stand-in as "pmset" in a folder of the composed server's own
    std::string statePath;     // the daemon's state file; the floor's file goes beside it
    std::string json;          // where the results go
    std::string logs;          // folder for the started programs' output
    int cycles = 2000;
    int startups = 30;
    int activations = 15;
    int idleSeconds = 30;
    int throughputSeconds = 8;
    int clients = 8;
};

Options parse(int argc, char** argv) {
    Options options;
    const std::map<std::string, std::string*> texts{{"--daemon", &options.daemon},
                                                    {"--server", &options.server},
                                                    {"--composed", &options.composed},
                                                    {"--pmset", &options.pmset},
                                                    {"--floor-pmset", &options.floorPmset},
                                                    {"--composed-pmset", &options.composedPmset},
                                                    {"--state", &options.statePath},
                                                    {"--json", &options.json},
                                                    {"--logs", &options.logs}};
    const std::map<std::string, int*> numbers{{"--cycles", &options.cycles},
                                              {"--startups", &options.startups},
                                              {"--activations", &options.activations},
                                              {"--idle-seconds", &options.idleSeconds},
                                              {"--throughput-seconds", &options.throughputSeconds},
                                              {"--clients", &options.clients}};
    for (int i = 1; i + 1 < argc; i += 2) {
        if (const auto text = texts.find(argv[i]); text != texts.end()) {
            *text->second = argv[i + 1];
        } else if (const auto number = numbers.find(argv[i]); number != numbers.end()) {
            *number->second = std::stoi(argv[i + 1]);
        } else {
            throw std::runtime_error(std::string("unknown option ") + argv[i]);
        }
    }
    for (const auto& [name, value] : texts) {
        if (value->empty()) {
            throw std::runtime_error("missing option " + name);
        }
    }
    return options;
}

class Bench {
public:
    explicit Bench(Options options)
        : options_(std::move(options)), watcher_({daemonName, serverName, composedName}),
          stateFolder_(options_.statePath.substr(0, options_.statePath.rfind('/'))),
          floorState_(stateFolder_ + "/floor-state.json") {}

    std::vector<Row> run();
    std::map<std::string, std::string> context() const { return context_; }

private:
    std::unique_ptr<Process> startDaemon() {
        return std::make_unique<Process>(
            options_.daemon,
            std::vector<std::string>{"--pmset", options_.pmset, "--state", options_.statePath},
            options_.logs + "/daemon.log");
    }
    std::unique_ptr<Process> startServer() {
        return std::make_unique<Process>(options_.server, std::vector<std::string>{},
                                         options_.logs + "/server.log");
    }
    std::unique_ptr<Process> startComposed() {
        return std::make_unique<Process>(
            options_.composed,
            std::vector<std::string>{"--pmset", options_.composedPmset, "--state",
                                     stateFolder_ + "/composed-state.json"},
            options_.logs + "/composed.log");
    }
    // Milliseconds from the spawn to the name being owned; leaves the process running in `kept`.
    double startUp(bool daemon, std::unique_ptr<Process>& kept) {
        watcher_.clear();
        kept = daemon ? startDaemon() : startServer();
        const auto owned = watcher_.waitForOwner(daemon ? daemonName : serverName, nameTimeout);
        return millisecondsBetween(kept->startedAt(), owned);
    }
    void stop(std::unique_ptr<Process>& process, const std::string& name) {
        process->terminate();
        process.reset();
        watcher_.waitForNoOwner(name, nameTimeout);
    }
    // Ends a process that the bus started for `name`.
    void stopActivated(const std::string& name) {
        watcher_.clear();
        const pid_t pid = watcher_.ownerPid(name);
        ::kill(pid, SIGTERM);
        watcher_.waitForNoOwner(name, nameTimeout);
        const auto deadline = Clock::now() + nameTimeout;
        while (::kill(pid, 0) == 0 && Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    void pmsetFloor(const std::vector<std::string>& arguments) {
        (void)spawnAndRead(options_.floorPmset, arguments);
    }
    void saveFloor() { durableReplace(floorState_, heldStateDocument()); }
    void requestFloor(Request request) {
        (void)doRequestWork(request, options_.floorPmset, floorState_);
    }

    void measureStartUp(std::vector<Row>& rows);
    void measureRequests(std::vector<Row>& rows);
    void measureIdle(std::vector<Row>& rows);
    void measureThroughput(std::vector<Row>& rows);
    void addFootprint(std::vector<Row>& rows, const std::string& when);

    Options options_;
    NameWatcher watcher_;
    std::string stateFolder_;
    std::string floorState_;
    std::unique_ptr<Process> daemon_;
    std::unique_ptr<Process> server_;
    std::unique_ptr<Process> composed_;
    std::map<std::string, std::string> context_;
};

void Bench::measureStartUp(std::vector<Row>& rows) {
    std::vector<double> daemonStarts;
    std::vector<double> serverStarts;
    for (int i = 0; i < options_.startups; ++i) {
        // Alternating which goes first, so that neither always runs on a machine just woken.
        for (const bool daemon : {i % 2 == 0, i % 2 != 0}) {
            std::unique_ptr<Process> process;
            (daemon ? daemonStarts : serverStarts).push_back(startUp(daemon, process));
            stop(process, daemon ? daemonName : serverName);
        }
    }
    const auto daemonStart = summarize(daemonStarts);
    const auto serverStart = summarize(serverStarts);
    rows.push_back({"start-up, spawn to name owned, median", "ms", daemonStart.median,
                    serverStart.median, "max", 1.15});

    // On demand: the first call of a new client starts the program through the activation file.
    // The daemon's first status also runs pmset once, so its floor adds one spawn.
    std::vector<double> daemonCalls;
    std::vector<double> serverCalls;
    std::vector<double> spawns;
    for (int i = 0; i < options_.activations; ++i) {
        daemonCalls.push_back(timed([] {
            PowerHelperClient client;
            (void)client.status();
        }));
        stopActivated(daemonName);
        serverCalls.push_back(timed([] {
            ServerClient client(minimal::busName, minimal::objectPath, minimal::interfaceName);
            client.call(minimal::pingMethod);
        }));
        stopActivated(serverName);
        spawns.push_back(timed([&] { pmsetFloor({"-g"}); }));
    }
    rows.push_back({"start-up on demand, first call to reply, median", "ms",
                    summarize(daemonCalls).median,
                    summarize(serverCalls).median + summarize(spawns).median, "max", 1.15});
}

void Bench::measureRequests(std::vector<Row>& rows) {
    daemon_ = startDaemon();
    server_ = startServer();
    composed_ = startComposed();
    (void)watcher_.waitForOwner(daemonName, nameTimeout);
    (void)watcher_.waitForOwner(serverName, nameTimeout);
    (void)watcher_.waitForOwner(composedName, nameTimeout);

    const std::string callsLog = options_.pmset.substr(0, options_.pmset.rfind('/')) + "/calls.log";
    const auto runsSoFar = [&] {
        std::ifstream calls(callsLog);
        long runs = 0;
        for (std::string line; std::getline(calls, line);) {
            ++runs;
        }
        return runs;
    };
    const long runsBefore = runsSoFar();

    PowerHelperClient client;
    ServerClient minimalServer(minimal::busName, minimal::objectPath, minimal::interfaceName);
    ServerClient composedServer(composed::busName, composed::objectPath, composed::interfaceName);
    const auto ping = [&] { minimalServer.call(minimal::pingMethod); };
    // The daemon's own adapters in this process, on the floors' folders: what they add to the
    // plain work, without the bus.
    SystemPMSetRunner runner(options_.floorPmset);
    PowerStateFile store(floorState_.substr(0, floorState_.rfind('/')) + "/adapter-state.json");
    const PowerHelperState held{true, Instant{1.0e9}};
    std::map<std::string, std::vector<double>> samples;
    const auto cycle = [&](bool record) {
        const auto sample = [&](const std::string& key, double milliseconds) {
            if (record) {
                samples[key].push_back(milliseconds);
            }
        };
        // Each request next to its floors: the composed server doing the same work in one bus
        // call, and the parts of that work timed as one piece here (a trivial round trip, then
        // the same pmset runs and saves).
        const auto request = [&](const char* key, Request work, const char* method, auto daemon) {
            sample(key, timed(daemon));
            sample(std::string(key) + " composed", timed([&] { composedServer.call(method); }));
            sample(std::string(key) + " parts", timed([&] {
                       ping();
                       requestFloor(work);
                   }));
        };
        request("status", Request::status, composed::statusMethod, [&] { (void)client.status(); });
        request("hold", Request::hold, composed::holdMethod, [&] { client.hold(lease); });
        request("renewal", Request::renewal, composed::renewMethod, [&] { client.hold(lease); });
        request("release", Request::release, composed::releaseMethod, [&] { client.release(); });
        sample("bus", timed([&] { ping(); }));
        sample("spawn", timed([&] { pmsetFloor({"-g"}); }));
        sample("save", timed([&] { saveFloor(); }));
        sample("runner", timed([&] { (void)runner.run(PMSetCommand::read()); }));
        sample("store", timed([&] { store.save(held); }));
    };

    for (int i = 0; i < 20; ++i) {
        cycle(false);
    }
    // 20 warm-up cycles of 4 requests, 230 measured: the footprint after 1,000 requests.
    for (int i = 0; i < options_.cycles; ++i) {
        cycle(true);
        if (i == 229) {
            addFootprint(rows, "after 1,000 requests");
        }
    }
    const int requests = 4 * (options_.cycles + 20);
    context_["requests in the request phase"] = std::to_string(requests);

    const char* names[][2] = {{"status", "status (1 pmset run)"},
                              {"hold", "first hold (3 runs, 1 save)"},
                              {"renewal", "renewal at 1 (1 run, 1 save)"},
                              {"release", "release (3 runs, 1 save)"}};
    std::vector<Row> requestRows;
    for (const auto& [key, title] : names) {
        const auto measured = summarize(samples[key]);
        const auto floor = summarize(samples[std::string(key) + " composed"]);
        const auto parts = summarize(samples[std::string(key) + " parts"]);
        requestRows.push_back({std::string(title) + ", median", "ms", measured.median, floor.median,
                               "max", 1.05, parts.median});
        requestRows.push_back(
            {std::string(title) + ", p99", "ms", measured.p99, floor.p99, "max", 1.5, parts.p99});
    }
    rows.insert(rows.begin(), requestRows.begin(), requestRows.end());

    const auto bus = summarize(samples["bus"]);
    const auto spawn = summarize(samples["spawn"]);
    const auto save = summarize(samples["save"]);
    const auto runnerRun = summarize(samples["runner"]);
    const auto storeSave = summarize(samples["store"]);
    rows.push_back(
        {"runner alone: one -g run, median", "ms", runnerRun.median, spawn.median, "", 0});
    rows.push_back(
        {"state file alone: one save, median", "ms", storeSave.median, save.median, "", 0});
    rows.push_back({"status less its run, median", "ms",
                    summarize(samples["status"]).median - runnerRun.median, bus.median, "", 0});
    context_["samples per request"] = std::to_string(samples["status"].size());
    context_["floor: bus round trip median/p99 ms"] =
        fixed(bus.median, 3) + " / " + fixed(bus.p99, 3);
    context_["floor: spawn, wait, read median/p99 ms"] =
        fixed(spawn.median, 3) + " / " + fixed(spawn.p99, 3);
    context_["floor: durable 45-byte replace median/p99 ms"] =
        fixed(save.median, 3) + " / " + fixed(save.p99, 3);

    // What the daemon ran: exactly 8 pmset runs per cycle, no more.
    const long runs = runsSoFar() - runsBefore;
    context_["daemon pmset runs per request cycle (8 expected)"] =
        fixed(static_cast<double>(runs) / (options_.cycles + 20), 3);
    addFootprint(rows, "after " + std::to_string(requests) + " requests");
}

void Bench::addFootprint(std::vector<Row>& rows, const std::string& when) {
    const auto daemon = footprintOf(daemon_->pid());
    const auto server = footprintOf(server_->pid());
    rows.push_back(
        {"idle VmRSS " + when, "KiB", daemon.residentKiB, server.residentKiB, "max", 1.2});
    rows.push_back(
        {"idle RssAnon " + when, "KiB", daemon.anonymousKiB, server.anonymousKiB, "max", 1.2});
    rows.push_back({"threads " + when, "count", static_cast<double>(daemon.threads),
                    static_cast<double>(server.threads), "", 0});
}

void Bench::measureIdle(std::vector<Row>& rows) {
    const double daemonCpu = cpuSecondsOf(daemon_->pid());
    const double serverCpu = cpuSecondsOf(server_->pid());
    const long daemonSwitches = contextSwitchesOf(daemon_->pid());
    const long serverSwitches = contextSwitchesOf(server_->pid());
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(options_.idleSeconds));
    const double seconds = millisecondsBetween(start, Clock::now()) / 1000;
    rows.push_back({"idle CPU over " + std::to_string(options_.idleSeconds) + " s", "% of a core",
                    100 * (cpuSecondsOf(daemon_->pid()) - daemonCpu) / seconds,
                    100 * (cpuSecondsOf(server_->pid()) - serverCpu) / seconds, "below", 0.1});
    rows.push_back(
        {"idle wake-ups (context switches)", "per s",
         static_cast<double>(contextSwitchesOf(daemon_->pid()) - daemonSwitches) / seconds,
         static_cast<double>(contextSwitchesOf(server_->pid()) - serverSwitches) / seconds, "", 0});
}

void Bench::measureThroughput(std::vector<Row>& rows) {
    // Alternating rounds of the daemon under all clients and the serial spawn floor.
    const auto round = std::chrono::milliseconds(options_.throughputSeconds * 1000 / 4);
    long daemonRequests = 0;
    long spawns = 0;
    double daemonSeconds = 0;
    double spawnSeconds = 0;
    for (int r = 0; r < 2; ++r) {
        std::atomic<long> done{0};
        std::atomic<bool> failed{false};
        std::latch ready(options_.clients + 1);
        Clock::time_point end;
        std::atomic<bool> go{false};
        std::vector<std::thread> threads;
        for (int c = 0; c < options_.clients; ++c) {
            threads.emplace_back([&] {
                try {
                    PowerHelperClient client;
                    (void)client.status(); // connects
                    ready.arrive_and_wait();
                    while (!go) {
                        std::this_thread::yield();
                    }
                    long mine = 0;
                    while (Clock::now() < end) {
                        (void)client.status();
                        ++mine;
                    }
                    done += mine;
                } catch (const std::exception& error) {
                    std::cerr << "zelvo-bench: throughput client: " << error.what() << "\n";
                    failed = true;
                }
            });
        }
        ready.arrive_and_wait();
        const auto start = Clock::now();
        end = start + round;
        go = true;
        for (auto& thread : threads) {
            thread.join();
        }
        if (failed) {
            throw std::runtime_error("a throughput client failed");
        }
        daemonSeconds += millisecondsBetween(start, Clock::now()) / 1000;
        daemonRequests += done;

        const auto spawnStart = Clock::now();
        while (Clock::now() < spawnStart + round) {
            pmsetFloor({"-g"});
            ++spawns;
        }
        spawnSeconds += millisecondsBetween(spawnStart, Clock::now()) / 1000;
    }
    rows.push_back({"status throughput, " + std::to_string(options_.clients) + " clients", "req/s",
                    static_cast<double>(daemonRequests) / daemonSeconds,
                    static_cast<double>(spawns) / spawnSeconds, "min", 0.95});
}

std::vector<Row> Bench::run() {
    std::vector<Row> rows;
    std::cerr << "zelvo-bench: start-up (" << options_.startups << " direct, "
              << options_.activations << " on demand, each)\n";
    measureStartUp(rows);
    std::cerr << "zelvo-bench: requests (" << options_.cycles << " cycles)\n";
    measureRequests(rows);
    std::cerr << "zelvo-bench: idle (" << options_.idleSeconds << " s)\n";
    measureIdle(rows);
    std::cerr << "zelvo-bench: throughput (" << options_.throughputSeconds << " s)\n";
    measureThroughput(rows);

    rows.push_back({"shared libraries (ldd)", "count",
                    static_cast<double>(sharedLibraryCount(options_.daemon)),
                    static_cast<double>(sharedLibraryCount(options_.server)), "", 0});
    rows.push_back({"executable size", "KiB", fileSizeKiB(options_.daemon),
                    fileSizeKiB(options_.server), "", 0});

    const int daemonExit = daemon_->terminate();
    server_->terminate();
    composed_->terminate();
    context_["daemon exit status on SIGTERM"] = std::to_string(daemonExit);
    addMachine(context_);
    return rows;
}

} // namespace
} // namespace zelvo::bench

int main(int argc, char** argv) {
    try {
        auto options = zelvo::bench::parse(argc, argv);
        const std::string json = options.json;
        zelvo::bench::Bench bench(std::move(options));
        const auto rows = bench.run();
        zelvo::bench::report(rows, {"daemon", "parts"}, bench.context(), json);
    } catch (const std::exception& error) {
        std::cerr << "zelvo-bench: " << error.what() << "\n";
        return 1;
    }
}
