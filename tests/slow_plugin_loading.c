/* Loaded with LD_PRELOAD: every GStreamer plugin takes a while to load, as on a small computer
 * that reads them from a cold SD card. dlopen() of a path in a gstreamer-1.0 folder waits
 * SLOW_PLUGIN_LOADING_MS milliseconds (200 when unset) before loading it. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

typedef void* (*Dlopen)(const char*, int);

void* dlopen(const char* path, int flags)
{
    static Dlopen real;
    if (!real) {
        void* found = dlsym(RTLD_NEXT, "dlopen");
        memcpy(&real, &found, sizeof real); /* ISO C has no cast from an object pointer */
    }
    if (path && strstr(path, "/gstreamer-1.0/")) {
        const char* setting = getenv("SLOW_PLUGIN_LOADING_MS");
        const long ms = setting ? atol(setting) : 200;
        struct timespec wait = {ms / 1000, (ms % 1000) * 1000000L};
        while (ms > 0 && nanosleep(&wait, &wait) != 0 && errno == EINTR) {
        }
    }
    return real(path, flags);
}
