// Annotations for clang's thread safety analysis (-Wthread-safety): which
// lock guards which field, which functions take and release a lock, and in
// which order locks are taken. Built with TESSEL_THREAD_SAFETY=ON, clang
// refuses a read or write of a guarded field without its lock, and (with
// -Wthread-safety-beta) a lock taken against the declared order, wherever
// both locks are visible in one function. Other compilers see nothing.
//
// The analysis looks at one function at a time and does not know that
// KivMutex is recursive: a function that takes a lock it already holds is
// reported, so none does (a call may still re-enter a lock its caller
// holds). A field that several threads use without a lock is a std::atomic
// instead and carries no annotation.

#ifndef TESSEL_TOOLKIT_KIV_THREAD_ANNOTATIONS_H_
#define TESSEL_TOOLKIT_KIV_THREAD_ANNOTATIONS_H_

#if defined(__clang__)
#define KIV_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define KIV_THREAD_ANNOTATION(x)
#endif

// A class whose objects are locks.
#ifndef CAPABILITY
#define CAPABILITY(x) KIV_THREAD_ANNOTATION(capability(x))
#endif

// A class that holds a lock for its own lifetime (or until it releases it).
#ifndef SCOPED_CAPABILITY
#define SCOPED_CAPABILITY KIV_THREAD_ANNOTATION(scoped_lockable)
#endif

// The field may be read or written only while x is held.
#ifndef GUARDED_BY
#define GUARDED_BY(x) KIV_THREAD_ANNOTATION(guarded_by(x))
#endif

// What the pointer (or smart pointer) points to may be used only while x
// is held; the pointer itself is not guarded.
#ifndef PT_GUARDED_BY
#define PT_GUARDED_BY(x) KIV_THREAD_ANNOTATION(pt_guarded_by(x))
#endif

// On a lock: the locks that may not be held when it is taken, and the
// locks that may not be taken while it is held.
#ifndef ACQUIRED_AFTER
#define ACQUIRED_AFTER(...) KIV_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#endif
#ifndef ACQUIRED_BEFORE
#define ACQUIRED_BEFORE(...) KIV_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#endif

// The caller must hold (REQUIRES) or must not hold (EXCLUDES) the locks.
#ifndef REQUIRES
#define REQUIRES(...) KIV_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#endif
#ifndef EXCLUDES
#define EXCLUDES(...) KIV_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#endif

// The function takes or releases the locks (the object itself when none
// is named). TRY_ACQUIRE: the function's result equals the first argument
// when it took them.
#ifndef ACQUIRE
#define ACQUIRE(...) KIV_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#endif
#ifndef RELEASE
#define RELEASE(...) KIV_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#endif
#ifndef TRY_ACQUIRE
#define TRY_ACQUIRE(...) KIV_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#endif

// The function is not checked: the lock wrappers themselves, and code whose
// safety rests on something the analysis cannot see (say why beside it).
#ifndef NO_THREAD_SAFETY_ANALYSIS
#define NO_THREAD_SAFETY_ANALYSIS KIV_THREAD_ANNOTATION(no_thread_safety_analysis)
#endif

#endif  // TESSEL_TOOLKIT_KIV_THREAD_ANNOTATIONS_H_
