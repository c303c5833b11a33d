// reliability-pmset-probe: stands in pmset's place in front of the pmset stand-in. Before a raise
// ("-a disablesleep 1") it reads the state file, as a daemon starting right then would, and
// appends to probe.log one line: "<pid> held" or "<pid> NOT-HELD <what it found>". Then it
// becomes the stand-in (same pid, same argv[0], so the stand-in keeps this folder).
//
// Its folder is the directory of argv[0]; probe.conf there holds two lines: the stand-in's path
// and the state file's path.

#include "StateDocument.h"

#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

namespace {

std::string folderOf(const std::string& program) {
    const std::size_t slash = program.find_last_of('/');
    return slash == std::string::npos ? "." : program.substr(0, slash);
}

std::string stateVerdict(const std::string& statePath) {
    std::ifstream in(statePath, std::ios::binary);
    if (!in) {
        return "NOT-HELD absent";
    }
    std::ostringstream content;
    content << in.rdbuf();
    try {
        const zelvo::PowerHelperState state = zelvo::StateDocument::decode(content.str());
        state.validate();
        if (state.heldByHelper) {
            return "held";
        }
    } catch (const std::exception&) {
    }
    return "NOT-HELD " + content.str();
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 1) {
        return 1;
    }
    const std::string folder = folderOf(argv[0]);
    std::ifstream config(folder + "/probe.conf");
    std::string standin;
    std::string statePath;
    std::getline(config, standin);
    std::getline(config, statePath);
    if (standin.empty() || statePath.empty()) {
        return 1;
    }
    if (argc == 4 && std::strcmp(argv[1], "-a") == 0 && std::strcmp(argv[3], "1") == 0) {
        const std::string line = std::to_string(::getpid()) + " " + stateVerdict(statePath) + "\n";
        const int fd = ::open((folder + "/probe.log").c_str(),
                              O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (fd >= 0) {
            (void)!::write(fd, line.data(), line.size());
            ::close(fd);
        }
    }
    ::execv(standin.c_str(), argv);
    return 127;
}
