/* Compiled as C: proves the public header is C99 and usable from C. */
#include <gravel/edge_configs.h>

int gravel_configs_c_header_probe(void);

int gravel_configs_c_header_probe(void) {
    edge_configs_data_t entry = {0, EDGE_CONFIGS_TYPE_LONGLONG, {0}};
    edge_configs_mgr_t mgr;
    mgr.table[1] = 0;
    entry.value.longlong_value = 1;
    return sizeof entry.value == 8 && entry.value.longlong_value == 1 && mgr.table[1] == 0 &&
           edge_configs_get_str(2, "k") == 0;
}
