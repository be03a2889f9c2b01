#pragma once

// Clang's thread-safety attributes, checked by -Wthread-safety (the clang builds turn it on for
// our targets, with -Werror). Other compilers see nothing. A lock is a TakMutex (or another
// class marked TAK_CAPABILITY); the data it protects is marked TAK_GUARDED_BY, a function that
// expects it held TAK_REQUIRES, and a lock taken while another is held TAK_ACQUIRED_AFTER.
// https://clang.llvm.org/docs/ThreadSafetyAnalysis.html describes each attribute.

#if defined(__clang__)
#define TAK_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define TAK_THREAD_ANNOTATION(x)
#endif

// A class whose objects are locks; name is what the warnings call it ("mutex").
#define TAK_CAPABILITY(name) TAK_THREAD_ANNOTATION(capability(name))
// An RAII class that holds the locks its constructor acquires until it is destroyed.
#define TAK_SCOPED_CAPABILITY TAK_THREAD_ANNOTATION(scoped_lockable)

// A member read or written only with the lock held.
#define TAK_GUARDED_BY(x) TAK_THREAD_ANNOTATION(guarded_by(x))
// A pointer member whose pointee is read or written only with the lock held.
#define TAK_PT_GUARDED_BY(x) TAK_THREAD_ANNOTATION(pt_guarded_by(x))

// The order of two locks: this one is taken only after (or before) the ones named.
#define TAK_ACQUIRED_AFTER(...) TAK_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define TAK_ACQUIRED_BEFORE(...) TAK_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))

// A function that the caller calls with the locks held (REQUIRES) or not held (EXCLUDES).
#define TAK_REQUIRES(...) TAK_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define TAK_EXCLUDES(...) TAK_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))

// A function that takes the locks and returns with them held, or releases locks held on entry;
// without arguments, the object the member function is called on.
#define TAK_ACQUIRE(...) TAK_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define TAK_RELEASE(...) TAK_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
// A function that takes the lock when it returns the given value (try_lock).
#define TAK_TRY_ACQUIRE(...) TAK_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))

// A function that returns a reference to the lock named (an accessor of a private mutex).
#define TAK_RETURN_CAPABILITY(x) TAK_THREAD_ANNOTATION(lock_returned(x))

// Turns the check off for one function: for code that is right in a way the analysis cannot
// follow. Say why next to it.
#define TAK_NO_THREAD_SAFETY_ANALYSIS TAK_THREAD_ANNOTATION(no_thread_safety_analysis)
