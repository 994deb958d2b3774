/*
 * kInstrumentedBuild: true when the tests run under a sanitizer, where every
 * memory access costs tens of times more. Tests that move hundreds of
 * megabytes to show a behaviour use it to move less there: the behaviour is
 * the same, and the fast build still runs it at full size.
 */
#ifndef VYRE_TEST_INSTRUMENTED_H
#define VYRE_TEST_INSTRUMENTED_H

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr bool kInstrumentedBuild = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer) || __has_feature(address_sanitizer)
constexpr bool kInstrumentedBuild = true;
#else
constexpr bool kInstrumentedBuild = false;
#endif
#else
constexpr bool kInstrumentedBuild = false;
#endif

/* kAddressSanitizer: true when the tests run under AddressSanitizer. */
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif
#else
constexpr bool kAddressSanitizer = false;
#endif

#endif // VYRE_TEST_INSTRUMENTED_H
