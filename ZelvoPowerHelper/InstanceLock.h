#pragma once

#include "UniqueFd.h"

#include <filesystem>
#include <stdexcept>

namespace zelvo {

// Keeps a second daemon off a state directory that a running one works on: only the holder of
// this lock reads or writes the state file, and so only it ever changes the setting.
//
// The lock is an exclusive flock(2) on the state directory itself, taken without waiting and held
// through a descriptor that lives as long as this object; the kernel lets go of it when the process
// ends, however it ends. Only root can open the root-owned 0700 state directory, so no other user
// can take the lock first. A state directory that does not exist yet is made first (mode 0700,
// missing parents 0755, each new entry flushed to disk in its parent, as the state file would make
// it on its first save), while the nearest existing directory above it is locked the same way: two
// first starts cannot both get past it, and every running daemon holds the lock on the state
// directory. That directory above may be open to other users, and one of them holding a lock on
// it fails such a first start (AnotherInstance); a deployment that makes the state directory
// beforehand never takes this path. Whatever the directory holds is left to the state file.
//
// Throws AnotherInstance when another process holds either lock, std::system_error when a
// directory cannot be made, opened or locked. Not thread-safe; made once, on the main thread.
class InstanceLock {
public:
    class AnotherInstance final : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
    };

    explicit InstanceLock(const std::filesystem::path& stateDirectory);

private:
    UniqueFd directory_;
};

} // namespace zelvo
