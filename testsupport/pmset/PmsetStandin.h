#pragma once

// Test-side helpers for the pmset stand-in (target `pmset-standin`). Link `zelvo_pmset_standin`:
// it provides this header and the stand-in's path. The control-file format and the stand-in's
// behaviour are documented at the top of PmsetStandin.cpp; in short, one directive per line,
// "SCOPE ACTION [ARGUMENTS]", SCOPE being get (-g), set (-a) or all, for example
//   "get exit 1 \x20\x20bad\n"   "set no-change"   "all ignore-term"   "all record-fds"
// Not thread-safe: one Folder per test thread.

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace zelvo::pmsetstandin {

// Overrides the folder that the stand-in otherwise takes from the directory of argv[0].
inline constexpr char folderVariable[] = "ZELVO_PMSET_STANDIN_DIR";
inline constexpr char stateFile[] = "sleep-disabled";
inline constexpr char controlFile[] = "control";
inline constexpr char callsLog[] = "calls.log";
inline constexpr char fdsFile[] = "fds";
inline constexpr char signalsFile[] = "signals";
inline constexpr char grandchildPidFile[] = "grandchild.pid";

#ifdef ZELVO_PMSET_STANDIN_PATH
// The built stand-in.
inline constexpr char builtExecutable[] = ZELVO_PMSET_STANDIN_PATH;
#endif

// One run of the stand-in, as it logged itself.
struct Call {
    long pid = 0;
    std::string program;                // argv[0]
    std::vector<std::string> arguments; // argv[1...]
};

// The whole file, or the empty text when it does not exist.
inline std::string readFileText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// A temporary folder holding the stand-in as "pmset" (a symlink), removed with all it holds when
// destroyed. Throws std::system_error when it cannot be made.
class Folder {
public:
#ifdef ZELVO_PMSET_STANDIN_PATH
    Folder() : Folder(builtExecutable) {}
#endif
    explicit Folder(const std::filesystem::path& standin) {
        std::string name = (std::filesystem::temp_directory_path() / "zelvo-pmset-XXXXXX").string();
        if (::mkdtemp(name.data()) == nullptr) {
            throw std::system_error(errno, std::system_category(), "mkdtemp");
        }
        path_ = name;
        std::filesystem::create_symlink(standin, executable());
    }
    ~Folder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    Folder(const Folder&) = delete;
    Folder& operator=(const Folder&) = delete;

    [[nodiscard]] const std::filesystem::path& path() const noexcept {
        return path_;
    }
    // The path to run: the stand-in finds this folder from it.
    [[nodiscard]] std::string executable() const {
        return (path_ / "pmset").string();
    }

    // Replaces the control file at once (a running stand-in sees the old or the new one whole).
    void setControl(std::string_view directives) const {
        replace(controlFile, directives);
    }
    void clearControl() const {
        std::filesystem::remove(path_ / controlFile);
    }

    void setSleepDisabled(int value) const {
        replace(stateFile, value == 1 ? "1\n" : "0\n");
    }
    // The stored value; 0 when nothing was stored.
    [[nodiscard]] int sleepDisabled() const {
        return readFileText(path_ / stateFile).rfind("1", 0) == 0 ? 1 : 0;
    }

    // Every run so far, in the order they started.
    [[nodiscard]] std::vector<Call> calls() const {
        std::vector<Call> calls;
        std::istringstream log(readFileText(path_ / callsLog));
        for (std::string line; std::getline(log, line);) {
            std::vector<std::string> fields;
            std::istringstream split(line);
            for (std::string field; std::getline(split, field, '\t');) {
                fields.push_back(field);
            }
            if (fields.size() < 2) {
                continue;
            }
            calls.push_back(Call{std::stol(fields[0]), fields[1],
                                 std::vector<std::string>(fields.begin() + 2, fields.end())});
        }
        return calls;
    }

    // A file the stand-in wrote (fds, signals, grandchild.pid); empty when it does not exist.
    [[nodiscard]] std::string file(const char* name) const {
        return readFileText(path_ / name);
    }

private:
    void replace(const char* name, std::string_view content) const {
        const std::filesystem::path temporary = path_ / (std::string(name) + ".new");
        {
            std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
            out.write(content.data(), static_cast<std::streamsize>(content.size()));
            if (!out.flush()) {
                throw std::system_error(errno, std::system_category(), temporary.string());
            }
        }
        std::filesystem::rename(temporary, path_ / name);
    }

    std::filesystem::path path_;
};

} // namespace zelvo::pmsetstandin
