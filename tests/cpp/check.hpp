// A minimal test harness for the numeric core: no interpreter, no framework.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace zln_test {

struct Case {
    const char* name;
    std::function<void()> body;
};

inline std::vector<Case>& registry() {
    static std::vector<Case> cases;
    return cases;
}

inline int& failures() {
    static int count = 0;
    return count;
}

struct Register {
    Register(const char* name, std::function<void()> body) { registry().push_back({name, std::move(body)}); }
};

}  // namespace zln_test

#define ZLN_CAT2(a, b) a##b
#define ZLN_CAT(a, b) ZLN_CAT2(a, b)
#define TEST_CASE(name)                                                                           \
    static void ZLN_CAT(test_fn_, __LINE__)();                                                    \
    static ::zln_test::Register ZLN_CAT(test_reg_, __LINE__)(name, &ZLN_CAT(test_fn_, __LINE__)); \
    static void ZLN_CAT(test_fn_, __LINE__)()

#define CHECK(cond)                                                                       \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            std::fprintf(stderr, "%s:%d: CHECK failed: %s\n", __FILE__, __LINE__, #cond); \
            ++::zln_test::failures();                                                     \
        }                                                                                 \
    } while (0)

#define CHECK_EQ(a, b)                                                                              \
    do {                                                                                            \
        if (!((a) == (b))) {                                                                        \
            std::fprintf(stderr, "%s:%d: CHECK_EQ failed: %s == %s\n", __FILE__, __LINE__, #a, #b); \
            ++::zln_test::failures();                                                               \
        }                                                                                           \
    } while (0)
