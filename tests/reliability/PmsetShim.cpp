// reliability-pmset-shim: stands in pmset's place in front of the pmset stand-in, to give it one
// misbehaviour the stand-in lacks: closing its output early and running on. When the file "shim"
// in its folder (the directory of argv[0]) says "close-output SCOPE" (get, set or all), a run of
// that scope puts /dev/null on descriptors 1 and 2, so the pipe closes while the run goes on. Then
// it becomes the stand-in (same pid, same argv[0], so the stand-in keeps this folder).

#include "PmsetStandin.h"

#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc < 1) {
        return 1;
    }
    const std::string program = argv[0];
    const std::size_t slash = program.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : program.substr(0, slash);
    const std::string directive = zelvo::pmsetstandin::readFileText(folder + "/shim");
    const char* scope = argc >= 2 && std::strcmp(argv[1], "-g") == 0   ? "get"
                        : argc >= 2 && std::strcmp(argv[1], "-a") == 0 ? "set"
                                                                       : "none";
    if (directive.rfind("close-output ", 0) == 0) {
        const std::string wanted = directive.substr(13, directive.find('\n') - 13);
        if (wanted == "all" || wanted == scope) {
            const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
            if (null < 0 || ::dup2(null, STDOUT_FILENO) < 0 || ::dup2(null, STDERR_FILENO) < 0) {
                return 70;
            }
            ::close(null);
        }
    }
    ::execv(zelvo::pmsetstandin::builtExecutable, argv);
    return 127;
}
