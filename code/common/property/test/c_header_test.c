/* Compiled as C: proves the public header is C99 and usable from C. */
#include <gravel/edge_property.h>

int gravel_property_c_header_probe(void);

int gravel_property_c_header_probe(void) {
    return edge_property_parse_valid(NULL, 0, NULL, NULL) == 1u && EDGE_PROPERTY_KEY_MAX == 32;
}
