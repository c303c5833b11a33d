// The ThreadSanitizer suppressions of every program in a ThreadSanitizer build, compiled into the
// program itself: a program that a test runs as another user reads no file from the checkout for
// them, wherever the checkout lies and whoever may enter it.

extern "C" const char* __tsan_default_suppressions();

extern "C" const char* __tsan_default_suppressions() {
    // libsystemd is not built with ThreadSanitizer: its reads of the random pool through
    // getrandom(2) from several client connections in one test process are reported against a
    // global of its own.
    return "race:libsystemd.so\n";
}
