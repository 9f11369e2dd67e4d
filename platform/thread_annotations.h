// Clang's thread-safety annotations, as macros that vanish for other compilers. The native
// build checks them with -Wthread-safety; the mingw build compiles them away.
#pragma once

#if defined(__clang__)
#define LB_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define LB_THREAD_ANNOTATION(x)
#endif

#define LB_CAPABILITY(name) LB_THREAD_ANNOTATION(capability(name))
#define LB_SCOPED_CAPABILITY LB_THREAD_ANNOTATION(scoped_lockable)
#define LB_GUARDED_BY(lock) LB_THREAD_ANNOTATION(guarded_by(lock))
#define LB_REQUIRES(...) LB_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define LB_ACQUIRE(...) LB_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define LB_RELEASE(...) LB_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define LB_ASSERT_CAPABILITY(lock) LB_THREAD_ANNOTATION(assert_capability(lock))
// A function that takes the lock itself: calling it with the lock held would deadlock.
#define LB_EXCLUDES(...) LB_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
