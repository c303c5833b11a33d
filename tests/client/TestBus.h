#pragma once

#include <string>
#include <sys/types.h>

namespace zelvo::test {

// A private dbus-daemon for one test, ended and reaped on destruction.
class TestBus {
public:
    TestBus();
    ~TestBus();
    TestBus(const TestBus&) = delete;
    TestBus& operator=(const TestBus&) = delete;

    [[nodiscard]] const std::string& address() const noexcept { return address_; }

private:
    void stop() noexcept;

    pid_t pid_ = -1;
    std::string address_;
};

} // namespace zelvo::test
