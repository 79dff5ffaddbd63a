// Defaults for sanitized builds, linked into every program of such a build.
extern "C" {
// System libraries (fonts, the desktop bus, X) keep caches for the life of the process.
const char* __lsan_default_suppressions() {
    return "leak:libfontconfig\nleak:libdbus-1\nleak:libxcb\nleak:libX11\n";
}
const char* __asan_default_options() {
    return "detect_leaks=1";
}
const char* __ubsan_default_options() {
    return "print_stacktrace=1:halt_on_error=1";
}
}
