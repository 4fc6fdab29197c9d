// Linked into the sanitized test and fuzz executables. What libraries allocate in their
// constructors while the process loads is theirs, made once and kept for the life of the process;
// some of it is dropped on purpose later (GLib's first quark table, 16 KiB, which GLib leaks when
// the table grows: that happens once enough GStreamer plugins are installed). The leak checker
// ignores those allocations, and nothing else: from the executable's own start on, every
// allocation is checked.
#include <sanitizer/lsan_interface.h>

namespace {

// The executable's pre-initialisers run before any library's constructor.
void ignoreLibraryConstructors()
{
    __lsan_disable();
}

// The executable's own constructors run after every library's.
[[gnu::constructor(101)]] void checkFromHereOn()
{
    __lsan_enable();
}

} // namespace

[[gnu::section(".preinit_array"),
  gnu::used]] static void (*const ignoreFirst)() = ignoreLibraryConstructors;
