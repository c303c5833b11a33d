#include "FileSystemCalls.h"
#include "PowerHelperError.h"
#include "PowerStateFile.h"
#include "StateDocument.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace zelvo {
namespace {

namespace fs = std::filesystem;

const std::string stateRefusal = "state must be an owned regular 0600 file of at most 16 KB";
const std::string directoryRefusal =
    "state directory must be owned and not writable by other users";
constexpr uid_t otherUser = 4242;

const std::string oldDocument = R"({"heldByHelper":false})";
const PowerHelperState newState{true, Instant{1709210096.5}};
const std::string newDocument = R"({"heldByHelper":true,"leaseUntil":"2024-02-29T12:34:56Z"})";

std::string errorText(int error) {
    return std::strerror(error);
}

void put(const std::string& path, const std::string& bytes, mode_t mode = 0600) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    ASSERT_EQ(::chmod(path.c_str(), mode), 0);
}

std::string contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct stat statusOf(const std::string& path) {
    struct stat status {};
    EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
    return status;
}

int openDescriptors() {
    return static_cast<int>(std::distance(fs::directory_iterator("/proc/self/fd"), {}));
}

class ScopedUmask {
public:
    explicit ScopedUmask(mode_t mask) : previous_(::umask(mask)) {}
    ~ScopedUmask() { ::umask(previous_); }

private:
    mode_t previous_;
};

// Fails the nth call of `call` (counting from 1) and the `times - 1` calls of it after that; with
// times 0, every call from the nth on.
FileSystemFaultPlan failing(FileSystemCall call, int nth, FileSystemFault fault, int times = 1) {
    auto seen = std::make_shared<int>(0);
    return [=](FileSystemCall made) -> std::optional<FileSystemFault> {
        if (made != call) {
            return std::nullopt;
        }
        const int index = ++*seen;
        if (index >= nth && (times == 0 || index < nth + times)) {
            return fault;
        }
        return std::nullopt;
    };
}

FileSystemFault error(int number) {
    return {number, std::nullopt};
}
FileSystemFault bytes(std::size_t limit) {
    return {0, limit};
}

class AStateFile : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/statefile-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root_ = pattern;
        directory_ = root_ + "/state";
        path_ = directory_ + "/power-helper-state.json";
        ASSERT_EQ(::mkdir(directory_.c_str(), 0700), 0);
    }
    void TearDown() override { fs::remove_all(root_); }

    std::vector<std::string> leftovers() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(directory_)) {
            const std::string name = entry.path().filename();
            if (name.rfind(".power-state-", 0) == 0) {
                names.push_back(name);
            }
        }
        return names;
    }

    std::string root_;
    std::string directory_;
    std::string path_;
};

// The error a call threw, as its description text; "" when it returned.
template <typename Call>
std::string thrownBy(Call call) {
    try {
        call();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

std::string fileFailure(const std::string& payload) {
    return "Helper state file: " + payload;
}

TEST_F(AStateFile, LoadsNoRecordWhenNothingIsStoredAndCreatesNothing) {
    EXPECT_EQ(PowerStateFile(path_).load(), std::nullopt);
    const std::string elsewhere = root_ + "/missing/state.json";
    EXPECT_EQ(PowerStateFile(elsewhere).load(), std::nullopt);
    EXPECT_FALSE(fs::exists(root_ + "/missing"));
    EXPECT_TRUE(fs::is_empty(directory_));
}

TEST_F(AStateFile, RefusesToLoadWhatItCannotTrustAndLeavesItAsFound) {
    const std::string valid = R"({"heldByHelper":true,"leaseUntil":"2024-02-29T12:34:56Z"})";
    const struct {
        const char* name;
        std::function<void(const std::string&)> make;
        std::string what;
        bool exact = true;
    } cases[] = {
        {"symbolic link to a valid file",
         [&](const std::string& p) {
             put(root_ + "/target.json", valid);
             ASSERT_EQ(::symlink((root_ + "/target.json").c_str(), p.c_str()), 0);
         },
         fileFailure("open: " + errorText(ELOOP))},
        {"directory", [](const std::string& p) { ASSERT_EQ(::mkdir(p.c_str(), 0600), 0); },
         fileFailure(stateRefusal)},
        {"FIFO", [](const std::string& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); },
         fileFailure(stateRefusal)},
        {"mode 0644", [&](const std::string& p) { put(p, valid, 0644); },
         fileFailure(stateRefusal)},
        {"mode 0400", [&](const std::string& p) { put(p, valid, 0400); },
         fileFailure(stateRefusal)},
        {"mode 0700", [&](const std::string& p) { put(p, valid, 0700); },
         fileFailure(stateRefusal)},
        {"another owner",
         [&](const std::string& p) {
             put(p, valid);
             ASSERT_EQ(::chown(p.c_str(), otherUser, otherUser), 0);
         },
         fileFailure(stateRefusal)},
        {"16385 bytes",
         [&](const std::string& p) { put(p, valid + std::string(16385 - valid.size(), ' ')); },
         fileFailure(stateRefusal)},
        {"empty file", [&](const std::string& p) { put(p, ""); }, "[json.exception.parse_error",
         false},
        {"held without a lease", [&](const std::string& p) { put(p, R"({"heldByHelper":true})"); },
         "Invalid helper state: a hold must have a finite lease"},
        {"held given as 1", [&](const std::string& p) { put(p, R"({"heldByHelper":1})"); },
         "state document: heldByHelper", false},
        {"held given as a string",
         [&](const std::string& p) { put(p, R"({"heldByHelper":"true"})"); },
         "state document: heldByHelper", false},
        {"lease given as a number",
         [&](const std::string& p) { put(p, R"({"heldByHelper":true,"leaseUntil":1})"); },
         "state document: leaseUntil", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(path_);
        c.make(path_);
        const struct stat before = statusOf(path_);
        const std::string bytesBefore = S_ISREG(before.st_mode) ? contents(path_) : "";
        const int descriptors = openDescriptors();

        const std::string what = thrownBy([&] { (void)PowerStateFile(path_).load(); });
        if (c.exact) {
            EXPECT_EQ(what, c.what);
        } else {
            EXPECT_EQ(what.rfind(c.what, 0), 0u) << what;
        }

        const struct stat after = statusOf(path_);
        EXPECT_EQ(after.st_mode, before.st_mode);
        EXPECT_EQ(after.st_uid, before.st_uid);
        EXPECT_EQ(after.st_size, before.st_size);
        EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
        EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
        if (S_ISREG(before.st_mode)) {
            EXPECT_EQ(contents(path_), bytesBefore);
        }
        EXPECT_EQ(openDescriptors(), descriptors);
    }
}

TEST_F(AStateFile, LoadsWhatItMayTrust) {
    const std::string held = R"({"heldByHelper":true,"leaseUntil":"1970-01-01T00:01:00Z"})";
    const struct {
        const char* name;
        std::string bytes;
        mode_t mode;
        PowerHelperState state;
    } cases[] = {
        {"mode 04600", held, 04600, {true, Instant{60}}},
        {"16384 bytes", held + std::string(16384 - held.size(), ' '), 0600, {true, Instant{60}}},
        {"null lease", R"({"heldByHelper":false,"leaseUntil":null})", 0600, {}},
        {"no lease", R"({"heldByHelper":false})", 0600, {}},
        {"another member", R"({"version":1,"heldByHelper":false})", 0600, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        put(path_, c.bytes, c.mode);
        EXPECT_EQ(PowerStateFile(path_).load(), c.state);
    }
}

TEST_F(AStateFile, RefusesAFileThatGrewPastTheLimitAfterItsStatusWasTaken) {
    put(path_, oldDocument + std::string(20000, ' '));
    FileSystemCalls calls;
    calls.fstat = [](int fd, struct stat* status) {
        const int result = ::fstat(fd, status);
        status->st_size = 22;
        return result;
    };
    EXPECT_EQ(thrownBy([&] { (void)PowerStateFile(path_, calls).load(); }),
              fileFailure("state exceeds 16 KB"));
}

TEST_F(AStateFile, SavesExactBytesAsAnOwned0600FileThatReloadsLessThanASecondEarlier) {
    const ScopedUmask mask(0277); // would leave a 0400 temporary file without the fchmod
    PowerStateFile file(path_);

    file.save({});
    EXPECT_EQ(contents(path_), oldDocument);
    const struct stat status = statusOf(path_);
    EXPECT_TRUE(S_ISREG(status.st_mode));
    EXPECT_EQ(status.st_mode & 07777, 0600u);
    EXPECT_EQ(status.st_uid, ::geteuid());

    file.save(newState);
    EXPECT_EQ(contents(path_), newDocument);
    const auto back = file.load();
    ASSERT_TRUE(back && back->leaseUntil);
    EXPECT_TRUE(back->heldByHelper);
    const double lost = newState.leaseUntil->seconds - back->leaseUntil->seconds;
    EXPECT_GE(lost, 0.0);
    EXPECT_LT(lost, 1.0);
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(AStateFile, RefusesToSaveARecordItCouldNotReloadWithoutTouchingTheOldOne) {
    const struct {
        const char* name;
        PowerHelperState state;
        std::string what;
    } cases[] = {
        {"held without a lease",
         {true, std::nullopt},
         "Invalid helper state: a hold must have a finite lease"},
        {"infinite lease",
         {false, Instant{INFINITY}},
         "Invalid helper state: a hold must have a finite lease"},
        {"lease in the year 10000",
         {true, Instant{253402300800.0}},
         "state document: leaseUntil lies outside the years 0000 to 9999"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        put(path_, oldDocument);
        const int descriptors = openDescriptors();
        EXPECT_EQ(thrownBy([&] { PowerStateFile(path_).save(c.state); }), c.what);
        EXPECT_EQ(contents(path_), oldDocument);
        EXPECT_TRUE(leftovers().empty());
        EXPECT_EQ(openDescriptors(), descriptors);
    }
    const std::string missing = root_ + "/missing/state.json";
    EXPECT_ANY_THROW(PowerStateFile(missing).save({true, std::nullopt}));
    EXPECT_FALSE(fs::exists(root_ + "/missing"));
}

TEST_F(AStateFile, SavesOnlyIntoADirectoryThatOnlyItsOwnerCanWrite) {
    const struct {
        const char* name;
        std::function<void(const std::string&)> make;
        bool accepted;
    } cases[] = {
        {"mode 0775", [](const std::string& d) { ::chmod(d.c_str(), 0775); }, false},
        {"mode 0757", [](const std::string& d) { ::chmod(d.c_str(), 0757); }, false},
        {"mode 0720", [](const std::string& d) { ::chmod(d.c_str(), 0720); }, false},
        {"another owner", [](const std::string& d) { ::chown(d.c_str(), otherUser, otherUser); },
         false},
        {"symbolic link to an owned 0700 directory",
         [this](const std::string& d) {
             fs::rename(d, root_ + "/real");
             ::symlink((root_ + "/real").c_str(), d.c_str());
         },
         false},
        {"mode 0755", [](const std::string& d) { ::chmod(d.c_str(), 0755); }, true},
        {"mode 0711", [](const std::string& d) { ::chmod(d.c_str(), 0711); }, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(directory_);
        fs::remove_all(root_ + "/real");
        ASSERT_EQ(::mkdir(directory_.c_str(), 0700), 0);
        put(path_, oldDocument);
        c.make(directory_);

        const std::string what = thrownBy([&] { PowerStateFile(path_).save(newState); });
        EXPECT_EQ(what, c.accepted ? "" : fileFailure(directoryRefusal));
        EXPECT_EQ(contents(path_), c.accepted ? newDocument : oldDocument);
        EXPECT_TRUE(leftovers().empty());
    }
}

// Someone who can write the state directory's parent swaps the directory, at one step of a save,
// for one that they control. The save goes on in the directory it checked, under its new name,
// and puts nothing into the replacement.
TEST_F(AStateFile, KeepsSavingIntoTheDirectoryItCheckedWhenTheDirectoryIsSwapped) {
    using C = FileSystemCall;
    const struct {
        const char* name;
        FileSystemCall call;
    } moments[] = {
        {"after the directory check", C::getrandom},
        {"after the temporary file is made", C::fchmod},
        {"before the rename", C::renameat},
    };
    const std::string moved = root_ + "/moved";
    const std::string foreign = root_ + "/foreign";
    for (const auto& moment : moments) {
        for (const bool link : {false, true}) {
            SCOPED_TRACE(std::string(moment.name) + (link ? ", link" : ", directory"));
            for (const auto& entry : {directory_, moved, foreign}) {
                fs::remove_all(entry);
            }
            ASSERT_EQ(::mkdir(directory_.c_str(), 0700), 0);
            put(path_, oldDocument);
            const std::string replacement = link ? foreign : directory_;
            bool swapped = false;
            const auto swap = [&] {
                fs::rename(directory_, moved);
                ASSERT_EQ(::mkdir(replacement.c_str(), 0777), 0);
                ASSERT_EQ(::chmod(replacement.c_str(), 0777), 0);
                ASSERT_EQ(::chown(replacement.c_str(), otherUser, otherUser), 0);
                if (link) {
                    ASSERT_EQ(::symlink(foreign.c_str(), directory_.c_str()), 0);
                }
                swapped = true;
            };
            PowerStateFile file(path_, withFaults({}, [&](FileSystemCall call) {
                                    if (call == moment.call && !swapped) {
                                        swap();
                                    }
                                    return std::optional<FileSystemFault>{};
                                }));

            EXPECT_EQ(thrownBy([&] { file.save(newState); }), "");
            EXPECT_TRUE(swapped);
            EXPECT_EQ(contents(moved + "/power-helper-state.json"), newDocument);
            EXPECT_EQ(std::distance(fs::directory_iterator(moved), {}), 1);
            EXPECT_TRUE(fs::is_empty(replacement));
        }
    }
}

TEST_F(AStateFile, LoadsOnlyFromTheStateDirectoryItselfNeverThroughALinkInItsPlace) {
    put(path_, newDocument);
    fs::rename(directory_, root_ + "/real");
    fs::create_directory_symlink(root_ + "/real", directory_);
    EXPECT_EQ(thrownBy([&] { (void)PowerStateFile(path_).load(); }),
              fileFailure("open: " + errorText(ENOTDIR)));
}

TEST_F(AStateFile, CreatesAMissingStateDirectoryWithMode0700WhateverTheUmask) {
    for (const mode_t mask : {0077, 0022, 0777}) {
        SCOPED_TRACE(mask);
        fs::remove_all(root_ + "/parent");
        const std::string directory = root_ + "/parent/state";
        const std::string path = directory + "/power-helper-state.json";
        {
            const ScopedUmask scoped(mask);
            PowerStateFile(path).save(newState);
        }
        EXPECT_EQ(contents(path), newDocument);
        const struct stat status = statusOf(directory);
        EXPECT_TRUE(S_ISDIR(status.st_mode));
        EXPECT_EQ(status.st_mode & 07777, 0700u);
        EXPECT_EQ(statusOf(root_ + "/parent").st_mode & 07777, 0755u & ~mask);
        EXPECT_EQ(PowerStateFile(path).load(), (PowerHelperState{true, Instant{1709210096}}));
    }

    // A parent reached through a symbolic link is flushed through it, on the first save.
    fs::remove_all(root_ + "/parent");
    fs::create_directory(root_ + "/parent");
    fs::create_directory_symlink(root_ + "/parent", root_ + "/link");
    const std::string linked = root_ + "/link/state/power-helper-state.json";
    PowerStateFile(linked).save(newState);
    EXPECT_EQ(contents(root_ + "/parent/state/power-helper-state.json"), newDocument);
    fs::remove(root_ + "/link");
}

TEST_F(AStateFile, NeverRemovesAnEntryThatHoldsItsTemporaryName) {
    FileSystemCalls calls;
    calls.getrandom = [](void* buffer, std::size_t length, unsigned) {
        std::memset(buffer, 0xAB, length);
        return static_cast<ssize_t>(length);
    };
    const std::string taken = directory_ + "/.power-state-ABABABAB-ABAB-4BAB-ABAB-ABABABABABAB.tmp";
    const struct {
        const char* name;
        std::function<void()> make;
        bool (*is)(mode_t);
    } cases[] = {
        {"regular file", [&] { put(taken, "mine"); }, [](mode_t m) { return S_ISREG(m); }},
        {"directory", [&] { ::mkdir(taken.c_str(), 0700); }, [](mode_t m) { return S_ISDIR(m); }},
        {"dangling symbolic link", [&] { ::symlink("/nonexistent", taken.c_str()); },
         [](mode_t m) { return S_ISLNK(m); }},
        {"FIFO", [&] { ::mkfifo(taken.c_str(), 0600); }, [](mode_t m) { return S_ISFIFO(m); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(taken);
        put(path_, oldDocument);
        c.make();
        EXPECT_EQ(thrownBy([&] { PowerStateFile(path_, calls).save(newState); }),
                  fileFailure("create: " + errorText(EEXIST)));
        EXPECT_TRUE(c.is(statusOf(taken).st_mode));
        EXPECT_EQ(contents(path_), oldDocument);
    }
}

TEST_F(AStateFile, MakesItsCallsInOrderWithCloseOnExecDescriptorsAndARandomName) {
    std::vector<FileSystemCall> made;
    std::vector<int> openFlags;
    std::vector<std::string> temporaryNames;
    FileSystemCalls real;
    real.open = [&](const char* path, int flags, mode_t mode) {
        openFlags.push_back(flags);
        return ::open(path, flags, mode);
    };
    real.openat = [&](int directoryFd, const char* name, int flags, mode_t mode) {
        openFlags.push_back(flags);
        return ::openat(directoryFd, name, flags, mode);
    };
    real.renameat = [&](int fromDirectoryFd, const char* from, int toDirectoryFd, const char* to) {
        temporaryNames.push_back(from);
        EXPECT_EQ(fromDirectoryFd, toDirectoryFd);
        return ::renameat(fromDirectoryFd, from, toDirectoryFd, to);
    };
    const FileSystemCalls calls = withFaults(real, [&](FileSystemCall call) {
        made.push_back(call);
        return std::nullopt;
    });
    PowerStateFile file(path_, calls);

    using C = FileSystemCall;
    file.save(newState);
    // The directory is opened once, checked, and every later step is relative to it.
    EXPECT_EQ(made,
              (std::vector<C>{C::mkdir, C::open, C::fstat, C::getrandom, C::openat, C::fchmod,
                              C::write, C::fsync, C::renameat, C::fsync, C::close, C::close}));
    made.clear();
    EXPECT_EQ(file.load(), (PowerHelperState{true, Instant{1709210096}}));
    EXPECT_EQ(made,
              (std::vector<C>{C::open, C::openat, C::fstat, C::read, C::read, C::close, C::close}));

    ASSERT_EQ(openFlags.size(), 4u);
    for (const int flags : openFlags) {
        EXPECT_TRUE(flags & O_CLOEXEC) << flags;
        EXPECT_TRUE(flags & O_NOFOLLOW) << flags;
    }
    EXPECT_TRUE(openFlags[0] & O_DIRECTORY);
    EXPECT_TRUE(openFlags[2] & O_DIRECTORY);
    EXPECT_TRUE(openFlags[3] & O_NONBLOCK);

    file.save({});
    ASSERT_EQ(temporaryNames.size(), 2u);
    const std::regex form(
        R"(\.power-state-[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}\.tmp)");
    for (const auto& name : temporaryNames) {
        EXPECT_TRUE(std::regex_match(name, form)) << name;
    }
    EXPECT_NE(temporaryNames[0], temporaryNames[1]);
}

enum class Outcome { success, fileFailure, systemError };

struct CallFault {
    const char* name;
    FileSystemCall call;
    int nth;
    FileSystemFault fault;
    int times;
    Outcome outcome;
    std::string payload = {};
};

TEST_F(AStateFile, SurvivesEachFailingCallOfASave) {
    using C = FileSystemCall;
    using O = Outcome;
    // Every failure before the rename keeps the old document; the two directory steps after it
    // leave the new one in place but still report the failure.
    const struct {
        CallFault f;
        bool newInPlace;
        bool missingDirectory = false;
    } cases[] = {
        {{"mkdir", C::mkdir, 1, error(EIO), 1, O::systemError}, false},
        {{"chmod of a created directory", C::fchmod, 1, error(EPERM), 1, O::systemError},
         false,
         true},
        {{"open of a created directory's parent", C::open, 2, error(EMFILE), 1, O::systemError},
         false,
         true},
        {{"fsync of a created directory's parent", C::fsync, 1, error(EIO), 1, O::systemError},
         false,
         true},
        {{"open of the directory", C::open, 1, error(EMFILE), 1, O::fileFailure, directoryRefusal},
         false},
        {{"fstat of the directory", C::fstat, 1, error(EIO), 1, O::fileFailure, directoryRefusal},
         false},
        {{"getrandom", C::getrandom, 1, error(ENOSYS), 1, O::systemError}, false},
        {{"getrandom interrupted", C::getrandom, 1, error(EINTR), 3, O::success}, true},
        {{"getrandom short", C::getrandom, 1, bytes(5), 0, O::success}, true},
        {{"create", C::openat, 1, error(ENOSPC), 1, O::fileFailure, "create: " + errorText(ENOSPC)},
         false},
        {{"fchmod", C::fchmod, 1, error(EPERM), 1, O::fileFailure, "chmod: " + errorText(EPERM)},
         false},
        {{"write", C::write, 1, error(EIO), 1, O::fileFailure, "write: " + errorText(EIO)}, false},
        {{"write failing for ever", C::write, 1, error(ENOSPC), 0, O::fileFailure,
          "write: " + errorText(ENOSPC)},
         false},
        {{"write of nothing", C::write, 1, bytes(0), 1, O::fileFailure, "short write"}, false},
        {{"write interrupted", C::write, 1, error(EINTR), 3, O::success}, true},
        {{"write short", C::write, 1, bytes(1), 0, O::success}, true},
        {{"fsync", C::fsync, 1, error(EIO), 1, O::fileFailure, "fsync: " + errorText(EIO)}, false},
        {{"rename", C::renameat, 1, error(EACCES), 1, O::fileFailure,
          "rename: " + errorText(EACCES)},
         false},
        {{"fsync directory", C::fsync, 2, error(EIO), 1, O::fileFailure,
          "fsync directory: " + errorText(EIO)},
         true},
        {{"close of the file", C::close, 1, error(EIO), 1, O::success}, true},
        {{"close of the directory", C::close, 2, error(EIO), 1, O::success}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.f.name);
        fs::remove_all(directory_);
        if (!c.missingDirectory) {
            ASSERT_EQ(::mkdir(directory_.c_str(), 0700), 0);
            put(path_, oldDocument);
        }
        const int descriptors = openDescriptors();
        PowerStateFile file(path_,
                            withFaults({}, failing(c.f.call, c.f.nth, c.f.fault, c.f.times)));
        try {
            file.save(newState);
            EXPECT_EQ(c.f.outcome, O::success);
        } catch (const PowerHelperError& e) {
            EXPECT_EQ(c.f.outcome, O::fileFailure) << e.what();
            EXPECT_EQ(e.kind(), PowerHelperError::Case::fileFailure);
            EXPECT_EQ(e.payload(), c.f.payload);
        } catch (const std::system_error& e) {
            EXPECT_EQ(c.f.outcome, O::systemError) << e.what();
            EXPECT_EQ(e.code().value(), c.f.fault.error);
        }

        if (c.missingDirectory) {
            // Removed again, so that the next save makes it anew and flushes its entry then.
            EXPECT_FALSE(fs::exists(directory_));
            int fsyncs = 0;
            PowerStateFile(path_, withFaults({},
                                             [&](FileSystemCall call) {
                                                 fsyncs += call == C::fsync ? 1 : 0;
                                                 return std::nullopt;
                                             }))
                .save(newState);
            EXPECT_EQ(fsyncs, 3) << "the parent, the file, the directory";
            EXPECT_EQ(contents(path_), newDocument);
        } else {
            EXPECT_EQ(contents(path_), c.newInPlace ? newDocument : oldDocument);
            EXPECT_EQ(statusOf(path_).st_mode & 07777, 0600u);
            EXPECT_TRUE(leftovers().empty());
        }
        EXPECT_EQ(openDescriptors(), descriptors);
    }
}

TEST_F(AStateFile, SurvivesEachFailingCallOfALoad) {
    using C = FileSystemCall;
    using O = Outcome;
    const CallFault cases[] = {
        {"open of the directory", C::open, 1, error(EIO), 1, O::fileFailure,
         "open: " + errorText(EIO)},
        {"open", C::openat, 1, error(EIO), 1, O::fileFailure, "open: " + errorText(EIO)},
        {"open refused", C::openat, 1, error(EACCES), 1, O::fileFailure,
         "open: " + errorText(EACCES)},
        {"fstat", C::fstat, 1, error(EIO), 1, O::fileFailure, stateRefusal},
        {"read", C::read, 1, error(EIO), 1, O::fileFailure, "read: " + errorText(EIO)},
        {"read after some data", C::read, 2, error(EIO), 1, O::fileFailure,
         "read: " + errorText(EIO)},
        {"read interrupted", C::read, 1, error(EINTR), 3, O::success},
        {"read short", C::read, 1, bytes(1), 0, O::success},
        {"close", C::close, 1, error(EIO), 1, O::success},
    };
    put(path_, newDocument);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const int descriptors = openDescriptors();
        PowerStateFile file(path_, withFaults({}, failing(c.call, c.nth, c.fault, c.times)));
        try {
            EXPECT_EQ(file.load(), (PowerHelperState{true, Instant{1709210096}}));
            EXPECT_EQ(c.outcome, O::success);
        } catch (const PowerHelperError& e) {
            EXPECT_EQ(c.outcome, O::fileFailure) << e.what();
            EXPECT_EQ(e.kind(), PowerHelperError::Case::fileFailure);
            EXPECT_EQ(e.payload(), c.payload);
        }
        EXPECT_EQ(contents(path_), newDocument);
        EXPECT_EQ(openDescriptors(), descriptors);
    }
}

} // namespace
} // namespace zelvo
