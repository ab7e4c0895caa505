/* Compiled as C: proves the public header, with its record table, is C99. */
#include <gravel/edge_http_connections.h>

int gravel_c_header_probe(void);

int gravel_c_header_probe(void) {
    BindReqBody bind = {NULL, "m1", "v1"};
    CommandReqBody cmd = {NULL, "reboot", 30};
    edge_json_set_job_fn set = edge_json_setBindReqBody_job;
    edge_json_get_job_fn get = edge_json_getCloudTokenRspBody_job;
    edge_json_print_job_fn print = edge_json_printCommandReqBody_job;
    return bind.pool == NULL && cmd.timeout == 30 && set != NULL && get != NULL && print != NULL;
}
