/* Compiled as C: proves the public headers are C99 and usable from C. */
#include <gravel/edge_base.h>
#include <gravel/edge_status.h>

int gravel_c_header_probe(void);

int gravel_c_header_probe(void) {
    edge_base_list_iter_t iter = {0, 0, 0};
    edge_mgr_head_t head = {0, 0, 0};
    int ok = edge_base_list_loop_start(NULL, &iter) == NULL && head.pool == NULL;
    ok = ok && edge_base_str_len("abc") == 3u;
    ok = ok && edge_base_status_name(EDGE_ERR_MISSING)[0] == 'E';
    return ok;
}
