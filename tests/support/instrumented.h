/*
 * kInstrumentedBuild: true when the tests run under a sanitizer, where every
 * memory access costs tens of times more. Tests that move hundreds of
 * megabytes to show a behaviour use it to move less there: the behaviour is
 * the same, and the fast build still runs it at full size.
 * kAddressSanitizer: true under AddressSanitizer alone.
 */
#ifndef VYRE_TEST_INSTRUMENTED_H
#define VYRE_TEST_INSTRUMENTED_H

#if !defined(__has_feature)
#define VYRE_TEST_HAS_FEATURE(x) 0
#else
#define VYRE_TEST_HAS_FEATURE(x) __has_feature(x)
#endif

#if defined(__SANITIZE_ADDRESS__) || VYRE_TEST_HAS_FEATURE(address_sanitizer)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif

#if defined(__SANITIZE_THREAD__) || VYRE_TEST_HAS_FEATURE(thread_sanitizer)
constexpr bool kInstrumentedBuild = true;
#else
constexpr bool kInstrumentedBuild = kAddressSanitizer;
#endif

#endif // VYRE_TEST_INSTRUMENTED_H
