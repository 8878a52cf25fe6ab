// Linked into the tests that run the program's windows in their own process.
// Under LeakSanitizer: now and then Qt keeps the 152 bytes of a worker thread
// of its own thread pool past the leak check at exit. That allocation's stack
// holds no frame of ours, only operator new and one frame of libQt6Core
// without frame pointers, so only the library's name can match it.
extern "C" const char* __lsan_default_suppressions() { return "leak:libQt6Core.so\n"; }
