#pragma once

#include "FileSystemCalls.h"
#include "PowerLease.h"

#include <string>
#include <utility>

namespace zelvo {

// Keeps the lease record in one small root-owned JSON file (the StateDocument form).
//
// Both calls open the state directory (the path's parent) once, refusing a symbolic link in its
// place, and take every later step relative to that descriptor: whoever can rename entries beside
// the directory cannot redirect a step to another directory between the checks and the rename.
//
// load() accepts only a regular file reached without following a symbolic link, owned by the
// effective user, mode exactly 0600, at most 16384 bytes; it never writes, repairs or removes. It
// opens without blocking, so a FIFO or device at the path is refused instead of hanging the caller.
// Nothing at the path (ENOENT, the state directory included) loads as no record; an empty file is
// a decoding error; a symbolic link at the path or in the state directory's place fails to open.
//
// save() validates the record, creates the state directory when missing, mode 0700 whatever the
// umask (missing parents get 0755 less the umask), refuses a state directory that is a symbolic
// link, not owned by the effective user or writable by group or others, writes a fresh temporary
// file ".power-state-<UUID>.tmp" beside the state file, flushes it, renames it over the state file
// and flushes the directory, so the path always holds the whole old or the whole new document. On
// every exit the temporary file is closed and, unless the rename took it, removed; a name that
// already exists is never removed. A throw from the directory flush after the rename leaves the
// new document in place.
//
// Errors: PowerHelperError::fileFailure ("open: <strerror>", "create: <strerror>" and so on),
// invalidState from validate(), StateDocument::Error and the JSON library's parse error from
// decoding, StateDocument::Error from encoding (a lease outside the years 0000 to 9999), and
// std::system_error when the state directory cannot be created or the random source fails.
//
// Every descriptor is opened close-on-exec and closed before the call returns. Stateless; not for
// concurrent saves to the same path.
class PowerStateFile final : public PowerHelperStateStoring {
public:
    explicit PowerStateFile(std::string path) : path_(std::move(path)) {}
    // Makes its system calls through `calls` (a copy is kept), so tests can fail any of them.
    PowerStateFile(std::string path, const FileSystemCalls& calls)
        : path_(std::move(path)), calls_(calls) {}

    std::optional<PowerHelperState> load() override;
    void save(const PowerHelperState& state) override;

    [[nodiscard]] const std::string& path() const noexcept { return path_; }

private:
    std::string path_;
    FileSystemCalls calls_;
};

} // namespace zelvo
