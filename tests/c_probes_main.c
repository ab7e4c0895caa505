/*
 * Runs the C header probe of every library in a plain C program that links the kit's shared
 * libraries, as a module does. The probes and their libraries come from c_probes.h, which
 * tests/CMakeLists.txt generates from the C files in each library's test folder.
 */
#include <stdio.h>

#include "c_probes.h"

#define DECLARE_PROBE(library, probe) int probe(void);
GRAVEL_C_PROBES(DECLARE_PROBE)
#undef DECLARE_PROBE

struct c_probe {
    const char *library;
    int (*run)(void);
};

#define PROBE_ENTRY(library, probe) {library, probe},
static const struct c_probe probes[] = {GRAVEL_C_PROBES(PROBE_ENTRY)};
#undef PROBE_ENTRY

int main(void) {
    size_t i;
    int ok = 1;
    for (i = 0; i < sizeof probes / sizeof probes[0]; i++) {
        int result = probes[i].run();
        if (result != 1) {
            printf("%s: the C header probe returned %d, not 1\n", probes[i].library, result);
            ok = 0;
        }
    }
    if (ok) printf("C header probes of %lu libraries pass against the shared libraries\n", (unsigned long)i);
    return ok ? 0 : 1;
}
