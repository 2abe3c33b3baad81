// Linked into the program only in the sanitizer build. Under a fake kernel the
// real /proc is hidden, so the sanitizers cannot read ASAN_OPTIONS from
// /proc/self/environ, and LeakSanitizer, which lists the threads in
// /proc/<pid>/task at exit, fails the run. The program's own code allocates
// nothing; its leaks are checked by the in-process tests, which link the same
// code without this file.
extern "C" const char *__asan_default_options()
{
    return "halt_on_error=1:detect_leaks=0";
}

extern "C" const char *__ubsan_default_options()
{
    return "halt_on_error=1:print_stacktrace=1";
}
