// The sanitizers' defaults and suppressions, shared by the program and the
// test programs. Include it in exactly one source file of each executable
// (the one with `main`): it defines the functions the sanitizer runtimes ask.
#pragma once

// Under ThreadSanitizer: Qt's own helper threads (the proxy lookup of the UDP
// sender, the pooled threads of Qt GUI) synchronise inside Qt, which is not
// built with the sanitizer. The link thread is not named, so its races with
// the GUI thread are still reported.
extern "C" const char* __tsan_default_suppressions() {
    return "thread:QLibProxyWrappe\n"
           "thread:Thread (pooled)\n"
           "called_from_lib:libproxy.so.1\n";
}

// Under ThreadSanitizer: child processes (gbak, the program under test) are started.
extern "C" const char* __tsan_default_options() {
    return "die_after_fork=0";
}

// Under LeakSanitizer: the Firebird client keeps allocations of its own for
// the life of the process, and so does the desktop bus library that Qt asks
// on a display.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfbclient.so\n"
           "leak:libdbus-1.so\n"
           "leak:libtommath.so\n"
           "leak:libglib-2.0.so\n"
           "leak:_dl_map_object_deps\n";
}

// The leak check's stop of every thread at exit trips over the thread-local
// storage of the Firebird client's threads; it scans without it.
extern "C" const char* __lsan_default_options() {
    return "use_tls=0";
}
