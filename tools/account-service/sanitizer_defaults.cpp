// Under ThreadSanitizer the service would report races inside GLib, GIO and
// GnuTLS: they hand TLS connections to GLib's thread pool through futexes
// that the sanitizer cannot see. Those libraries are not instrumented, so
// their reports say nothing about this program; its own code stays checked.

#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VELTRA_THREAD_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_THREAD__)
#define VELTRA_THREAD_SANITIZER 1
#endif

#ifdef VELTRA_THREAD_SANITIZER
extern "C" const char *__tsan_default_suppressions() {
    // Not called_from_lib: GIO loads and unloads its modules, which that
    // kind of suppression does not survive.
    return "race:libgnutls.so\n"
           "race:libgiognutls.so\n"
           "race:libgio-2.0.so\n"
           "race:libglib-2.0.so\n"
           "race:libsoup-3.0.so\n";
}
#endif
