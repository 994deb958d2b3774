// The Annex K functions of the platform stand-in: each runtime-constraint
// violation is refused with the destination cleared where Annex K asks for
// it, and a valid call behaves like the plain C library function.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "vyre_securec.h"

namespace {

constexpr unsigned char kFill = 0xA5;

struct Buffer {
    unsigned char bytes[16];
    Buffer() { memset(bytes, kFill, sizeof(bytes)); }
    bool AllZero(size_t n) const {
        for (size_t i = 0; i < n; ++i) {
            if (bytes[i] != 0) {
                return false;
            }
        }
        return true;
    }
    bool Untouched() const {
        for (unsigned char b : bytes) {
            if (b != kFill) {
                return false;
            }
        }
        return true;
    }
};

TEST(MemcpyS, CopiesWhenCountFits) {
    const char src[] = "0123456789abcdef";
    Buffer dest;
    EXPECT_EQ(memcpy_s(dest.bytes, sizeof(dest.bytes), src, 16), 0);
    EXPECT_EQ(memcmp(dest.bytes, src, 16), 0);
    EXPECT_EQ(memcpy_s(dest.bytes, sizeof(dest.bytes), nullptr, 0), EINVAL) << "NULL source even for 0 bytes";
}

TEST(MemcpyS, RefusesViolationsAndClearsAValidDestination) {
    const char src[32] = "source bytes";
    Buffer dest;
    EXPECT_NE(memcpy_s(nullptr, 16, src, 4), 0);

    EXPECT_NE(memcpy_s(dest.bytes, 16, nullptr, 4), 0);
    EXPECT_TRUE(dest.AllZero(16));

    Buffer tooMuch;
    EXPECT_NE(memcpy_s(tooMuch.bytes, 8, src, 9), 0);
    EXPECT_TRUE(tooMuch.AllZero(8));
    EXPECT_EQ(tooMuch.bytes[8], kFill) << "cleared past destsz";

    Buffer hugeCount;
    EXPECT_NE(memcpy_s(hugeCount.bytes, 16, src, VYRE_RSIZE_MAX + 1), 0);
    EXPECT_TRUE(hugeCount.AllZero(16));

    Buffer hugeDest;
    EXPECT_NE(memcpy_s(hugeDest.bytes, VYRE_RSIZE_MAX + 1, src, 4), 0);
    EXPECT_TRUE(hugeDest.Untouched()) << "an invalid destsz must not be used to clear";
}

TEST(MemcpyS, RefusesOverlappingAreas) {
    char area[32] = "abcdefghijklmnopqrstuvwxyz";
    EXPECT_NE(memcpy_s(area + 4, 20, area, 8), 0);
    EXPECT_NE(memcpy_s(area, 20, area + 4, 8), 0);
    char fresh[32] = "abcdefghijklmnopqrstuvwxyz";
    EXPECT_EQ(memcpy_s(fresh + 8, 20, fresh, 8), 0) << "adjacent areas do not overlap";
    EXPECT_EQ(std::string(fresh, 16), "abcdefghabcdefgh");
}

TEST(MemsetS, SetsCountBytesOrDestszAndFails) {
    Buffer dest;
    EXPECT_EQ(memset_s(dest.bytes, 16, 0x11, 4), 0);
    EXPECT_EQ(dest.bytes[3], 0x11);
    EXPECT_EQ(dest.bytes[4], kFill);

    Buffer over;
    EXPECT_NE(memset_s(over.bytes, 8, 0x22, 12), 0);
    EXPECT_EQ(over.bytes[7], 0x22);
    EXPECT_EQ(over.bytes[8], kFill);

    EXPECT_NE(memset_s(nullptr, 8, 0, 8), 0);
    Buffer hugeDest;
    EXPECT_NE(memset_s(hugeDest.bytes, VYRE_RSIZE_MAX + 1, 0, 4), 0);
    EXPECT_TRUE(hugeDest.Untouched());
}

TEST(StrcpyS, CopiesStringsThatFitWithTheirTerminator) {
    char dest[8];
    EXPECT_EQ(strcpy_s(dest, sizeof(dest), "1234567"), 0);
    EXPECT_STREQ(dest, "1234567");
    EXPECT_EQ(strcpy_s(dest, sizeof(dest), ""), 0);
    EXPECT_STREQ(dest, "");
}

TEST(StrcpyS, RefusesViolationsAndEmptiesTheDestination) {
    char dest[8] = "keepme";
    EXPECT_NE(strcpy_s(dest, sizeof(dest), "12345678"), 0) << "terminator does not fit";
    EXPECT_EQ(dest[0], '\0');

    strcpy(dest, "keepme");
    EXPECT_NE(strcpy_s(dest, sizeof(dest), nullptr), 0);
    EXPECT_EQ(dest[0], '\0');

    strcpy(dest, "keepme");
    EXPECT_NE(strcpy_s(dest, 0, "x"), 0);
    EXPECT_STREQ(dest, "keepme") << "destsz 0 leaves the destination alone";
    EXPECT_NE(strcpy_s(nullptr, 8, "x"), 0);

    char area[16] = "overlap";
    EXPECT_NE(strcpy_s(area + 2, 14, area), 0);
    EXPECT_EQ(area[2], '\0');
}

TEST(SprintfS, FormatsAndReturnsTheLength) {
    char buf[16];
    EXPECT_EQ(sprintf_s(buf, sizeof(buf), "%s-%d", "task", 42), 7);
    EXPECT_STREQ(buf, "task-42");
    EXPECT_EQ(sprintf_s(buf, sizeof(buf), "%015d", 7), 15) << "exact fit with the terminator";
    EXPECT_STREQ(buf, "000000000000007");
    EXPECT_EQ(sprintf_s(buf, sizeof(buf), "100%%"), 4);
    EXPECT_STREQ(buf, "100%");
}

TEST(SprintfS, FailsNegativeWithAnEmptyBufferWhenItDoesNotFit) {
    char buf[16] = "previous";
    EXPECT_LT(sprintf_s(buf, sizeof(buf), "%016d", 7), 0);
    EXPECT_EQ(buf[0], '\0');

    strcpy(buf, "previous");
    EXPECT_LT(sprintf_s(buf, sizeof(buf), nullptr), 0);
    EXPECT_EQ(buf[0], '\0');

    EXPECT_LT(sprintf_s(nullptr, 16, "x"), 0);
    strcpy(buf, "previous");
    EXPECT_LT(sprintf_s(buf, 0, "x"), 0);
    EXPECT_STREQ(buf, "previous");
}

TEST(SprintfS, RefusesTheWritebackConversion) {
    char buf[32] = "previous";
    int written = 0;
    EXPECT_LT(sprintf_s(buf, sizeof(buf), "ab%n", &written), 0);
    EXPECT_EQ(buf[0], '\0');
    EXPECT_EQ(written, 0);
    long longWritten = 0;
    EXPECT_LT(sprintf_s(buf, sizeof(buf), "%d%ln", 1, &longWritten), 0);
    EXPECT_EQ(sprintf_s(buf, sizeof(buf), "%%n"), 2) << "an escaped percent is not a conversion";
    EXPECT_STREQ(buf, "%n");
}

TEST(StrtokS, WalksTokensAndCountsDownWhatIsLeft) {
    char text[] = ",,alpha,beta;;gamma,";
    rsize_t left = sizeof(text);
    char *next = nullptr;
    char *tok = strtok_s(text, &left, ",;", &next);
    ASSERT_NE(tok, nullptr);
    EXPECT_STREQ(tok, "alpha");
    EXPECT_EQ(left, sizeof(text) - 8) << "two delimiters, five characters and the replaced delimiter";
    tok = strtok_s(nullptr, &left, ",;", &next);
    ASSERT_NE(tok, nullptr);
    EXPECT_STREQ(tok, "beta");
    tok = strtok_s(nullptr, &left, ",;", &next);
    ASSERT_NE(tok, nullptr);
    EXPECT_STREQ(tok, "gamma");
    EXPECT_EQ(left, 1U) << "only the terminator is left";
    EXPECT_EQ(strtok_s(nullptr, &left, ",;", &next), nullptr);
    EXPECT_EQ(strtok_s(nullptr, &left, ",;", &next), nullptr) << "stays at the end";
}

TEST(StrtokS, RefusesViolations) {
    char text[] = "a b";
    rsize_t left = sizeof(text);
    char *next = nullptr;
    EXPECT_EQ(strtok_s(text, nullptr, " ", &next), nullptr);
    EXPECT_EQ(strtok_s(text, &left, nullptr, &next), nullptr);
    EXPECT_EQ(strtok_s(text, &left, " ", nullptr), nullptr);
    EXPECT_EQ(strtok_s(nullptr, &left, " ", &next), nullptr) << "no string and no saved position";

    char unterminated[] = {'a', 'b', 'c', 'd'};
    rsize_t short_left = sizeof(unterminated);
    EXPECT_EQ(strtok_s(unterminated, &short_left, " ", &next), nullptr) << "token runs past strmax";
}

} // namespace
