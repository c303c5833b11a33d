// zelvo-bench-tool: measures the Linux power tool (zelvo-pmset) against the floors of the work it
// cannot avoid, interleaved in one run: its -g against one spawn of a tiny sd-bus program that
// makes one round trip to logind on a fresh connection, and a hold and its release
// (-a disablesleep 1, then -a disablesleep 0) against one run of a tiny program that takes the
// same block lock, closes it and looks until logind no longer lists it. Expects logind on the
// system bus in DBUS_SYSTEM_BUS_ADDRESS (scripts/bench runs it inside the test world that brings
// one up). Prints one table and writes it as JSON.
//
// Never fails on a figure: it exits with 0 whatever the ratios are, and with 1 only when it could
// not measure (a program missing or failing, or the tool not doing what it was asked).

#include "Floors.h"
#include "Measure.h"
#include "Report.h"

#include <algorithm>
#include <iostream>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace zelvo::bench {
namespace {

struct Options {
    std::string tool;  // zelvo-pmset
    std::string floor; // bench-logind-floor
    std::string json;
    int cycles = 300;
};

Options parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        if (name == "--tool") {
            options.tool = argv[i + 1];
        } else if (name == "--floor") {
            options.floor = argv[i + 1];
        } else if (name == "--json") {
            options.json = argv[i + 1];
        } else if (name == "--cycles") {
            options.cycles = std::stoi(argv[i + 1]);
        } else {
            throw std::runtime_error("unknown option " + name);
        }
    }
    if (options.tool.empty() || options.floor.empty() || options.json.empty()) {
        throw std::runtime_error("usage: zelvo-bench-tool --tool PATH --floor PATH --json FILE "
                                 "[--cycles N]");
    }
    return options;
}

// The SleepDisabled value in the tool's -g report, as pmset prints it (" SleepDisabled\t\t1").
char sleepDisabledIn(const std::string& report) {
    const std::string key = "SleepDisabled";
    const auto at = report.find(key);
    if (at == std::string::npos) {
        throw std::runtime_error("the tool's -g report has no SleepDisabled line");
    }
    const auto value = report.find_first_not_of(" \t", at + key.size());
    return value == std::string::npos ? '\0' : report[value];
}

std::vector<Row> measure(const Options& options, std::map<std::string, std::string>& context) {
    const auto tool = [&](const std::vector<std::string>& arguments) {
        return spawnAndRead(options.tool, arguments);
    };
    const auto floor = [&](const char* mode) { return spawnAndRead(options.floor, {mode}); };
    // The tool is checked to do what it is asked in the unmeasured cycles: a bench of a tool that
    // holds nothing would measure nothing.
    const auto expectSleepDisabled = [&](char expected) {
        if (sleepDisabledIn(tool({"-g"})) != expected) {
            throw std::runtime_error(std::string("the tool's -g does not read SleepDisabled ") +
                                     expected);
        }
    };
    std::map<std::string, std::vector<double>> samples;
    const auto cycle = [&](bool record) {
        const auto sample = [&](const std::string& key, double milliseconds) {
            if (record) {
                samples[key].push_back(milliseconds);
            }
        };
        sample("get", timed([&] { (void)tool({"-g"}); }));
        sample("get floor", timed([&] { (void)floor("list"); }));
        sample("hold", timed([&] { (void)tool({"-a", "disablesleep", "1"}); }));
        if (!record) {
            expectSleepDisabled('1');
        }
        sample("release", timed([&] { (void)tool({"-a", "disablesleep", "0"}); }));
        if (!record) {
            expectSleepDisabled('0');
        }
        std::string looks;
        sample("pair floor", timed([&] { looks = floor("lock"); }));
        sample("looks", std::stod(looks));
    };
    for (int i = 0; i < 10; ++i) {
        cycle(false);
    }
    for (int i = 0; i < options.cycles; ++i) {
        cycle(true);
    }
    // The pair is two commands: beside its floor, the floor of two runs (the lock's, and one
    // round trip on a fresh connection, as the second command must make at least).
    std::vector<double> pairs;
    std::vector<double> twoRuns;
    for (std::size_t i = 0; i < samples["hold"].size(); ++i) {
        pairs.push_back(samples["hold"][i] + samples["release"][i]);
        twoRuns.push_back(samples["pair floor"][i] + samples["get floor"][i]);
    }
    const auto get = summarize(samples["get"]);
    const auto getFloor = summarize(samples["get floor"]);
    const auto pair = summarize(pairs);
    const auto pairFloor = summarize(samples["pair floor"]);
    const auto twoRunsFloor = summarize(twoRuns);
    const auto hold = summarize(samples["hold"]);
    const auto release = summarize(samples["release"]);
    context["samples per figure"] = std::to_string(options.cycles);
    // How often logind still listed a lock just closed: each such look costs the tool a pause.
    const auto& looks = samples["looks"];
    const auto again = std::count_if(looks.begin(), looks.end(), [](double n) { return n > 1; });
    context["floor: lock still listed at the first look after its close (% of runs)"] =
        fixed(100.0 * static_cast<double>(again) / static_cast<double>(looks.size()), 1);
    context["tool: -a disablesleep 1 / 0 alone, median ms"] =
        fixed(hold.median, 3) + " / " + fixed(release.median, 3);
    return {
        {"zelvo-pmset -g, median", "ms", get.median, getFloor.median, "max", 1.2},
        {"zelvo-pmset -g, p99", "ms", get.p99, getFloor.p99, "", 0},
        {"hold and release (-a disablesleep 1, 0), median", "ms", pair.median, pairFloor.median,
         "max", 1.2, twoRunsFloor.median},
        {"hold and release (-a disablesleep 1, 0), p99", "ms", pair.p99, pairFloor.p99, "", 0,
         twoRunsFloor.p99},
    };
}

} // namespace
} // namespace zelvo::bench

int main(int argc, char** argv) {
    try {
        const auto options = zelvo::bench::parse(argc, argv);
        std::map<std::string, std::string> context;
        const auto rows = zelvo::bench::measure(options, context);
        zelvo::bench::addMachine(context);
        zelvo::bench::report(rows, {"tool", "two runs"}, context, options.json);
    } catch (const std::exception& error) {
        std::cerr << "zelvo-bench-tool: " << error.what() << "\n";
        return 1;
    }
}
