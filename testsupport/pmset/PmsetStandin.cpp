// pmset-standin: a program that stands in for pmset in tests. It starts fast (no shell, no
// libraries beyond libc and libstdc++) and keeps its state in files of one folder.
//
// The folder is $ZELVO_PMSET_STANDIN_DIR if set, else the directory of argv[0] ("." if argv[0]
// has no slash). Tests symlink or copy the stand-in into a temporary folder. Files in it:
//   sleep-disabled   the SleepDisabled value, "0" or "1" (missing: 0)
//   calls.log        one line per call, appended in one O_APPEND write before anything else:
//                    the pid, argv[0] and each argument, separated by tabs
//   control          misbehaviours, read on every call (missing: behave normally)
//   fds              written by record-fds: one line per open descriptor, "N TARGET"
//   signals          written by record-signals: "blocked: N N ...\nignored: N N ...\n", the
//                    signal state the stand-in started with
//   grandchild.pid   written by grandchild and grandchild-flood: the grandchild's pid
//
// Normal behaviour:
//   -g                    prints a report of several settings (a heading, then one setting per
//                         line), among them " SleepDisabled\t\t0" or "1"; exit 0
//   -a disablesleep 0|1   stores the value, prints nothing; exit 0
//   anything else         a usage text on standard error; exit 1
//
// Control file: one directive per line, "SCOPE ACTION [ARGUMENTS]", words separated by one space.
// Blank lines and lines starting with '#' are ignored. SCOPE is "get" (-g calls), "set" (-a calls)
// or "all" (every call). The directives whose scope matches are applied in order; the first that
// ends the call ends it, otherwise the normal behaviour follows, as changed by the modifiers.
//   Applied, then the next directive:
//     write FD TEXT      writes TEXT to descriptor FD (1 or 2) in one write
//     record-fds         writes the file fds
//     record-signals     writes the file signals
//     sleep MS           sleeps MS milliseconds
//     flood [BYTES]      writes BYTES (default 1 MiB) to descriptor 1
//     grandchild         forks a grandchild that keeps descriptors 1 and 2 open for 60 s
//     grandchild-flood   forks a grandchild that, once the stand-in has ended, writes to
//                        descriptor 1 for 60 s
//   Modifiers of the normal behaviour:
//     stderr-only        its output goes to descriptor 2 instead of 1
//     no-report          -g prints its report without a valid SleepDisabled line
//     two-reports        -g prints its report twice
//     invalid-utf8       -g prints bytes that are not valid UTF-8 in its heading
//     no-change          -a succeeds without storing the value
//   Ending the call:
//     exit STATUS [TEXT] writes TEXT to descriptor 1, exits with STATUS
//     hang               sleeps (60 s at most); SIGTERM ends it
//     ignore-term        ignores SIGTERM, then hangs
//     signal N           dies by signal N
// TEXT is the rest of the line after the space that ends the word before it, with the escapes
// \n \t \r \\ and \xHH decoded.

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr long hangSeconds = 60;

std::string folder;

std::string inFolder(const char* name) {
    return folder + "/" + name;
}

void writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
}

bool readFile(const std::string& path, std::string& out) {
    int fd;
    while ((fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC)) < 0 && errno == EINTR) {
    }
    if (fd < 0) {
        return false;
    }
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        out.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return true;
}

// Replaces the file at once (temporary file, then rename), so no reader sees half of it.
void replaceFile(const char* name, std::string_view content) {
    const std::string path = inFolder(name);
    const std::string temporary = path + ".tmp." + std::to_string(::getpid());
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        std::exit(70);
    }
    writeAll(fd, content);
    ::close(fd);
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        std::exit(70);
    }
}

void sleepMilliseconds(long ms) {
    timespec left{ms / 1000, (ms % 1000) * 1000000};
    while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

void appendCall(int argc, char** argv) {
    std::string line = std::to_string(::getpid());
    for (int i = 0; i < argc; ++i) {
        line += '\t';
        line += argv[i];
    }
    line += '\n';
    const std::string path = inFolder("calls.log");
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        std::exit(70);
    }
    // One write, so that concurrent calls never interleave within a line.
    (void)::write(fd, line.data(), line.size());
    ::close(fd);
}

std::string signalState(const sigset_t& blocked, const std::vector<int>& ignored) {
    std::string text = "blocked:";
    for (int sig = 1; sig < NSIG; ++sig) {
        if (sigismember(&blocked, sig) == 1) {
            text += ' ' + std::to_string(sig);
        }
    }
    text += "\nignored:";
    for (int sig : ignored) {
        text += ' ' + std::to_string(sig);
    }
    return text + '\n';
}

void recordFds() {
    std::string text;
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) {
        std::exit(70);
    }
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.' || std::atoi(entry->d_name) == ::dirfd(dir)) {
            continue;
        }
        char target[4096];
        const std::string link = std::string("/proc/self/fd/") + entry->d_name;
        const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
        text += std::string(entry->d_name) + ' ' +
                (n < 0 ? std::string("?") : std::string(target, static_cast<std::size_t>(n))) +
                '\n';
    }
    ::closedir(dir);
    replaceFile("fds", text);
}

[[noreturn]] void hang() {
    sleepMilliseconds(hangSeconds * 1000);
    std::_Exit(0);
}

std::string flood(std::size_t bytes) {
    std::string line(63, 'x');
    line += '\n';
    std::string out;
    out.reserve(bytes);
    while (out.size() < bytes) {
        out += line;
    }
    out.resize(bytes);
    return out;
}

void forkGrandchild(bool floods) {
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) {
        std::exit(71);
    }
    if (pid == 0) {
        if (floods) {
            const std::string chunk = flood(65536);
            const std::time_t end = std::time(nullptr) + hangSeconds;
            // Only once the stand-in has ended, so that the flood cannot block its own output.
            while (::getppid() == parent && std::time(nullptr) < end) {
                sleepMilliseconds(1);
            }
            while (std::time(nullptr) < end) {
                if (::write(STDOUT_FILENO, chunk.data(), chunk.size()) < 0 && errno != EINTR) {
                    break;
                }
            }
            std::_Exit(0);
        }
        hang();
    }
    replaceFile("grandchild.pid", std::to_string(pid) + '\n');
}

std::string unescape(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        const char e = text[++i];
        if (e == 'n') {
            out += '\n';
        } else if (e == 't') {
            out += '\t';
        } else if (e == 'r') {
            out += '\r';
        } else if (e == 'x' && i + 2 < text.size()) {
            const std::string digits(text.substr(i + 1, 2));
            out += static_cast<char>(std::strtol(digits.c_str(), nullptr, 16));
            i += 2;
        } else {
            out += e;
        }
    }
    return out;
}

struct Directive {
    std::string action;
    std::string rest; // everything after the action and its separating space
};

std::vector<Directive> directivesFor(const char* scope) {
    std::string control;
    if (!readFile(inFolder("control"), control)) {
        return {};
    }
    std::vector<Directive> result;
    std::size_t start = 0;
    while (start < control.size()) {
        std::size_t end = control.find('\n', start);
        if (end == std::string::npos) {
            end = control.size();
        }
        std::string_view line(control.data() + start, end - start);
        start = end + 1;
        if (line.empty() || line.front() == '#') {
            continue;
        }
        const std::size_t space = line.find(' ');
        const std::string_view lineScope = line.substr(0, space);
        if (space == std::string_view::npos || (lineScope != "all" && lineScope != scope)) {
            continue;
        }
        std::string_view body = line.substr(space + 1);
        const std::size_t split = body.find(' ');
        Directive directive{std::string(body.substr(0, split)), ""};
        if (split != std::string_view::npos) {
            directive.rest = std::string(body.substr(split + 1));
        }
        result.push_back(std::move(directive));
    }
    return result;
}

// Splits "WORD REST" at the first space.
std::pair<std::string, std::string> firstWord(const std::string& text) {
    const std::size_t space = text.find(' ');
    if (space == std::string::npos) {
        return {text, ""};
    }
    return {text.substr(0, space), text.substr(space + 1)};
}

std::string report(char value, bool valid) {
    std::string text = "Power settings, all sources:\n";
    text += " standby              1\n";
    text += " hibernatemode        3\n";
    text += " displaysleep         10\n";
    text += " disksleep            10\n";
    text += " sleep                1\n";
    text +=
        valid ? std::string(" SleepDisabled\t\t") + value + '\n' : " SleepDisabled\t\tunknown\n";
    text += " tcpkeepalive         1\n";
    text += " lowpowermode         0\n";
    text += " Wake On LAN          1\n";
    return text;
}

} // namespace

int main(int argc, char** argv) {
    sigset_t inheritedMask;
    sigprocmask(SIG_BLOCK, nullptr, &inheritedMask);
    std::vector<int> inheritedIgnored;
    for (int sig = 1; sig < NSIG; ++sig) {
        struct sigaction action {};
        if (sigaction(sig, nullptr, &action) == 0 && action.sa_handler == SIG_IGN) {
            inheritedIgnored.push_back(sig);
        }
    }

    if (const char* dir = std::getenv("ZELVO_PMSET_STANDIN_DIR"); dir != nullptr && *dir != 0) {
        folder = dir;
    } else {
        const std::string self = argc > 0 ? argv[0] : "";
        const std::size_t slash = self.rfind('/');
        folder = slash == std::string::npos ? "." : slash == 0 ? "/" : self.substr(0, slash);
    }
    appendCall(argc, argv);

    const bool isGet = argc == 2 && std::strcmp(argv[1], "-g") == 0;
    const bool isSet = argc == 4 && std::strcmp(argv[1], "-a") == 0 &&
                       std::strcmp(argv[2], "disablesleep") == 0 &&
                       (std::strcmp(argv[3], "0") == 0 || std::strcmp(argv[3], "1") == 0);
    const char* scope = argc >= 2 && std::strcmp(argv[1], "-g") == 0   ? "get"
                        : argc >= 2 && std::strcmp(argv[1], "-a") == 0 ? "set"
                                                                       : "none";

    int outputFd = STDOUT_FILENO;
    bool validReport = true;
    bool twoReports = false;
    bool invalidUtf8 = false;
    bool storeChange = true;
    for (const Directive& d : directivesFor(scope)) {
        if (d.action == "write") {
            const auto [fd, text] = firstWord(d.rest);
            writeAll(std::atoi(fd.c_str()), unescape(text));
        } else if (d.action == "record-fds") {
            recordFds();
        } else if (d.action == "record-signals") {
            replaceFile("signals", signalState(inheritedMask, inheritedIgnored));
        } else if (d.action == "sleep") {
            sleepMilliseconds(std::atol(d.rest.c_str()));
        } else if (d.action == "flood") {
            writeAll(STDOUT_FILENO,
                     flood(d.rest.empty() ? std::size_t{1} << 20
                                          : std::strtoull(d.rest.c_str(), nullptr, 10)));
        } else if (d.action == "grandchild" || d.action == "grandchild-flood") {
            forkGrandchild(d.action == "grandchild-flood");
        } else if (d.action == "stderr-only") {
            outputFd = STDERR_FILENO;
        } else if (d.action == "no-report") {
            validReport = false;
        } else if (d.action == "two-reports") {
            twoReports = true;
        } else if (d.action == "invalid-utf8") {
            invalidUtf8 = true;
        } else if (d.action == "no-change") {
            storeChange = false;
        } else if (d.action == "exit") {
            const auto [status, text] = firstWord(d.rest);
            writeAll(STDOUT_FILENO, unescape(text));
            std::_Exit(std::atoi(status.c_str()));
        } else if (d.action == "hang") {
            hang();
        } else if (d.action == "ignore-term") {
            std::signal(SIGTERM, SIG_IGN);
            hang();
        } else if (d.action == "signal") {
            const int sig = std::atoi(d.rest.c_str());
            std::signal(sig, SIG_DFL);
            sigset_t one;
            sigemptyset(&one);
            sigaddset(&one, sig);
            sigprocmask(SIG_UNBLOCK, &one, nullptr);
            ::raise(sig);
            std::_Exit(72);
        } else {
            writeAll(STDERR_FILENO, "pmset-standin: unknown control action " + d.action + "\n");
            return 64;
        }
    }

    if (isGet) {
        std::string value;
        readFile(inFolder("sleep-disabled"), value);
        const char current = !value.empty() && value[0] == '1' ? '1' : '0';
        std::string text = report(current, validReport);
        if (invalidUtf8) {
            text.insert(text.find(':'), "\xC3\x28 \xF0\x9F\x98 \xFF");
        }
        if (twoReports) {
            text += text;
        }
        writeAll(outputFd, text);
        return 0;
    }
    if (isSet) {
        if (storeChange) {
            replaceFile("sleep-disabled", std::string(argv[3]) + '\n');
        }
        return 0;
    }
    writeAll(STDERR_FILENO, "usage: pmset -g\n       pmset -a disablesleep 0|1\n");
    return 1;
}
