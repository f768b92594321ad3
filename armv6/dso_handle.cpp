// What the compiler's crtbeginS.o gives a shared object or a position-independent program, in
// ARMv6 code. The destructors of static objects register with __cxa_atexit under this object's
// __dso_handle; when the object is unloaded, __cxa_finalize runs those of this object alone (at
// exit they have already run, and it does nothing).

extern "C" {
// The type and visibility the compiler gives it when it emits a __cxa_atexit call.
extern void* __dso_handle __attribute__((visibility("hidden")));
void* __dso_handle = &__dso_handle;

void __cxa_finalize(void* dso_handle);
}

namespace {

__attribute__((destructor)) void run_this_objects_exit_handlers() { __cxa_finalize(__dso_handle); }

}  // namespace
