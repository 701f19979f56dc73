// Under the leak sanitizer: fontconfig keeps a cache for the life of the process
// (Qt's font database asks it once), which is not a leak of ours.
extern "C" const char* __lsan_default_suppressions();
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig\n"; }
