/*
 * Every status code that <gravel/edge_status.h> defines is named by edge_base_status_name with
 * the code's own macro name, and every other value gets the unknown name. The codes come from
 * the header itself: tests/CMakeLists.txt reads its #defines at configure time into
 * status_codes.h, which also makes the preprocessor prove each code a plain unsigned constant.
 * A code appended to the header without a name fails here.
 */
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <gravel/edge_status.h>

#include "status_codes.h"

#define UNKNOWN_NAME "EDGE_ERR_UNKNOWN"

struct status_code {
    uint32_t value;
    const char *macro;
};

#define STATUS_ENTRY(code) {code, #code},
static const struct status_code codes[] = {GRAVEL_STATUS_CODES(STATUS_ENTRY)};
#undef STATUS_ENTRY
#define CODE_COUNT (sizeof codes / sizeof codes[0])

static const struct status_code *find_code(uint32_t value) {
    size_t i;
    for (i = 0; i < CODE_COUNT; i++)
        if (codes[i].value == value) return &codes[i];
    return NULL;
}

static int check_code(const struct status_code *code) {
    const char *name = edge_base_status_name(code->value);
    const struct status_code *first = find_code(code->value);
    if (strcmp(code->macro, UNKNOWN_NAME) == 0) {
        printf("%s is a status code, but its name is the one every unknown value gets\n", code->macro);
        return 0;
    }
    if (first != code) {
        printf("%s (%lu) has the value of %s\n", code->macro, (unsigned long)code->value, first->macro);
        return 0;
    }
    if (name == NULL || strcmp(name, code->macro) != 0) {
        printf("%s (%lu) is named \"%s\"\n", code->macro, (unsigned long)code->value, name ? name : "(null)");
        return 0;
    }
    return 1;
}

static int check_unknown(uint32_t value) {
    const char *name;
    if (find_code(value) != NULL) return 1;
    name = edge_base_status_name(value);
    if (name == NULL || strcmp(name, UNKNOWN_NAME) != 0) {
        printf("%lu is no status code, but is named \"%s\"\n", (unsigned long)value, name ? name : "(null)");
        return 0;
    }
    return 1;
}

int main(void) {
    size_t i;
    int ok = 1;
    uint32_t low = UINT32_MAX, high = 0, value;
    for (i = 0; i < CODE_COUNT; i++) {
        ok = check_code(&codes[i]) && ok;
        if (codes[i].value != EDGE_OK && codes[i].value < low) low = codes[i].value;
        if (codes[i].value > high) high = codes[i].value;
    }
    /* Values that are no code: every gap in and next to the range of the error codes, the
     * neighbours of 0, and each code with a bit set above the low 16 or in the top position
     * (a name lookup that truncates or sign-extends would name those). */
    for (value = low - 1; value <= high + 1; value++) ok = check_unknown(value) && ok;
    ok = check_unknown(1u) && check_unknown(UINT32_MAX) && ok;
    for (i = 0; i < CODE_COUNT; i++) {
        ok = check_unknown(codes[i].value + 0x10000u) && ok;
        ok = check_unknown(codes[i].value | 0x80000000u) && ok;
    }
    if (ok) printf("%lu status codes named as in edge_status.h, other values unknown\n", (unsigned long)CODE_COUNT);
    return ok ? 0 : 1;
}
