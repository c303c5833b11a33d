#pragma once

#include "PowerLease.h"

#include <string>

namespace zelvo {

// Keeps the lease record in one small root-owned JSON file.
//
// load() accepts only a regular file reached without following a symbolic link, owned by the
// effective user, mode exactly 0600, at most 16384 bytes; it never writes, repairs or removes.
// save() refuses a state directory that others could write to, writes a fresh temporary file,
// flushes it, renames it over the state file and flushes the directory, so the path always holds
// the whole old or the whole new document. The temporary file is removed on every exit.
//
// Errors: PowerHelperError::fileFailure ("open: <strerror>" and so on), invalidState from
// validate(), and the JSON library's errors unchanged. Stateless; not for concurrent saves.
class PowerStateFile final : public PowerHelperStateStoring {
public:
    explicit PowerStateFile(std::string path) : path_(std::move(path)) {}

    std::optional<PowerHelperState> load() override;
    void save(const PowerHelperState& state) override;

    [[nodiscard]] const std::string& path() const noexcept { return path_; }

private:
    std::string path_;
};

} // namespace zelvo
