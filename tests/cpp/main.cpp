#include <cstring>

#include "check.hpp"

// Runs every registered case, or those whose name contains argv[1].
int main(int argc, char** argv) {
    int run = 0;
    for (const auto& c : zln_test::registry()) {
        if (argc > 1 && std::strstr(c.name, argv[1]) == nullptr) continue;
        int before = zln_test::failures();
        c.body();
        ++run;
        std::printf("%s %s\n", zln_test::failures() == before ? "ok  " : "FAIL", c.name);
    }
    std::printf("%d cases, %d failed checks\n", run, zln_test::failures());
    return zln_test::failures() == 0 ? 0 : 1;
}
