// Clang's thread-safety attributes (checked with -Wthread-safety); nothing on other compilers.
#pragma once

#if defined(__clang__)
#define QAR_THREAD_ATTRIBUTE(x) __attribute__((x))
#else
#define QAR_THREAD_ATTRIBUTE(x)
#endif

#define CAPABILITY(x) QAR_THREAD_ATTRIBUTE(capability(x))
#define SCOPED_CAPABILITY QAR_THREAD_ATTRIBUTE(scoped_lockable)
#define GUARDED_BY(x) QAR_THREAD_ATTRIBUTE(guarded_by(x))
#define PT_GUARDED_BY(x) QAR_THREAD_ATTRIBUTE(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) QAR_THREAD_ATTRIBUTE(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) QAR_THREAD_ATTRIBUTE(acquired_after(__VA_ARGS__))
#define REQUIRES(...) QAR_THREAD_ATTRIBUTE(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) QAR_THREAD_ATTRIBUTE(requires_shared_capability(__VA_ARGS__))
#define ACQUIRE(...) QAR_THREAD_ATTRIBUTE(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) QAR_THREAD_ATTRIBUTE(acquire_shared_capability(__VA_ARGS__))
#define RELEASE(...) QAR_THREAD_ATTRIBUTE(release_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) QAR_THREAD_ATTRIBUTE(release_shared_capability(__VA_ARGS__))
#define RELEASE_GENERIC(...) QAR_THREAD_ATTRIBUTE(release_generic_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) QAR_THREAD_ATTRIBUTE(try_acquire_capability(__VA_ARGS__))
#define TRY_ACQUIRE_SHARED(...) QAR_THREAD_ATTRIBUTE(try_acquire_shared_capability(__VA_ARGS__))
#define EXCLUDES(...) QAR_THREAD_ATTRIBUTE(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) QAR_THREAD_ATTRIBUTE(assert_capability(x))
#define RETURN_CAPABILITY(x) QAR_THREAD_ATTRIBUTE(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS QAR_THREAD_ATTRIBUTE(no_thread_safety_analysis)
