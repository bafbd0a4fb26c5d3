// Runtime defaults of the sanitizers, read before ASAN_OPTIONS, UBSAN_OPTIONS and TSAN_OPTIONS,
// which can still override them. A host runs as a child process and many tests only read its
// events, so a report must end it loudly (SIGABRT) rather than scroll past on stderr; TSan in
// particular would otherwise only change the exit status, which _Exit never applies.

extern "C" {

const char* __asan_default_options() {
    return "halt_on_error=1:abort_on_error=1:disable_coredump=1:detect_stack_use_after_return=1";
}

const char* __ubsan_default_options() {
    return "halt_on_error=1:abort_on_error=1:disable_coredump=1:print_stacktrace=1";
}

const char* __tsan_default_options() {
    return "halt_on_error=1:abort_on_error=1:disable_coredump=1:second_deadlock_stack=1";
}

}
