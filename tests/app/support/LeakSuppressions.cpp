// LeakSanitizer reads this from the test program. fontconfig keeps a cache
// for the life of the process that it never frees; Qt's font database loads
// it for the first window. Nothing of ours is hidden by this.
extern "C" const char* __lsan_default_suppressions();
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}
