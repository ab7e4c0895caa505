/* Compiled as C: proves the public header is C99 and usable from C. */
#include <gravel/edge_http.h>

int gravel_c_header_probe(void);

int gravel_c_header_probe(void) {
    edge_http_response_t response = {0, 0, 0};
    edge_http_handle_t handle = {0, 0, 0, 0, 0};
    int ok = response.body == NULL && handle.curl == NULL;
    ok = ok && edge_http_create(NULL) == NULL;
    edge_http_add_header(NULL, "X: 1");
    return ok;
}
