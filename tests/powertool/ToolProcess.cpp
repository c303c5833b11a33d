#include "ToolProcess.h"

#include "ChildProcess.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <system_error>
#include <unistd.h>

namespace zelvo::powertool::testing {

namespace {

using testbus::makePipe;
using testbus::reap;
using testbus::SpawnSetup;

constexpr auto answerBound = std::chrono::seconds(10);

// Appends what one read gives; false at end of file or on an error other than EINTR.
bool readSome(int fd, std::string& text) {
    char buffer[4096];
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got > 0) {
        text.append(buffer, static_cast<std::size_t>(got));
    }
    return got > 0 || (got < 0 && errno == EINTR);
}

} // namespace

ToolParent::ToolParent(const std::string& tool) {
    auto requests = makePipe();
    auto answers = makePipe();
    SpawnSetup setup;
    setup.cleanSignals(false);
    setup.dupTo(requests.read.get(), STDIN_FILENO);
    setup.dupTo(answers.write.get(), STDOUT_FILENO);
    setup.dupTo(answers.write.get(), STDERR_FILENO);
    // The shell forks the tool for each line, so the tool's parent is the shell.
    pid_ = setup.spawn(testbus::killedWithParent(
        {"/bin/sh", "-c", R"(while read -r line; do "$0" $line 2>&1; echo "@@status $?"; done)",
         tool}));
    requests_ = requests.write.release();
    answers_ = answers.read.release();
}

ToolParent::~ToolParent() {
    ::close(requests_); // the shell ends at the end of its input
    if (pid_ > 0) {
        (void)reap(pid_);
    }
    ::close(answers_);
}

ParentRun ToolParent::run(const std::string& arguments) {
    const std::string line = arguments + "\n";
    if (::write(requests_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
        throw std::system_error(errno, std::generic_category(), "write to the tool's parent");
    }
    const std::string marker = "@@status ";
    const auto end = std::chrono::steady_clock::now() + answerBound;
    for (;;) {
        const auto at = pending_.find(marker);
        const auto lineEnd = at == std::string::npos ? at : pending_.find('\n', at);
        if (lineEnd != std::string::npos) {
            ParentRun outcome;
            outcome.out = pending_.substr(0, at);
            outcome.status = std::stoi(pending_.substr(at + marker.size()));
            pending_.erase(0, lineEnd + 1);
            return outcome;
        }
        if (std::chrono::steady_clock::now() >= end) {
            throw std::runtime_error("the tool's parent did not answer within 10 s");
        }
        pollfd entry{answers_, POLLIN, 0};
        if (::poll(&entry, 1, 100) > 0 && !readSome(answers_, pending_)) {
            throw std::runtime_error("the tool's parent ended");
        }
    }
}

void ToolParent::kill() {
    ::kill(pid_, SIGKILL);
    (void)reap(pid_);
    pid_ = -1;
}

} // namespace zelvo::powertool::testing
