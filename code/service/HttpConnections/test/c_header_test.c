/* Compiled as C: proves the public header, with its record table and manager, is C99. */
#include <stddef.h>

#include <gravel/edge_http_connections.h>

int gravel_c_header_probe(void);

int gravel_c_header_probe(void) {
    BindReqBody bind = {NULL, "m1", "v1"};
    CommandReqBody cmd = {NULL, "reboot", 30};
    edge_json_set_job_fn set = edge_json_setBindReqBody_job;
    edge_json_get_job_fn get = edge_json_getCloudTokenRspBody_job;
    edge_json_print_job_fn print = edge_json_printCommandReqBody_job;
    edge_base_schedule_job_fn runner = edge_daemon_http_sign_runner;
    /* The one field before the head. */
    int head_second = offsetof(edge_http_conns_mgr_t, head) == sizeof(apr_pool_t *);
    return bind.pool == NULL && cmd.timeout == 30 && set != NULL && get != NULL && print != NULL && runner != NULL &&
           head_second;
}
