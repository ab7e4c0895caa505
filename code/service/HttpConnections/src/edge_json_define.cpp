// The jobs of the service's records, stamped from its record table.
#include <gravel/edge_http_connections.h>

#include "edge_json_record.hpp"

EDGE_HTTP_RECORD_TABLE(EDGE_JSON_DEFINE_RECORD_JOBS)
