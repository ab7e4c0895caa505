/* Compiled as C: proves the public header, its record declaration included, is C99. */
#include <gravel/edge_json.h>

#define EDGE_RECORD_FIELDS_ProbeRecord(F) \
    F(_str, name, EDGE_JSON_PRINTED)      \
    F(_int, code, EDGE_JSON_HIDDEN)       \
    F(_ll, when, EDGE_JSON_PRINTED)
EDGE_JSON_DECLARE_RECORD(ProbeRecord)

int gravel_c_header_probe(void);

int gravel_c_header_probe(void) {
    ProbeRecord r = {0, "n", 1, 2};
    cJSON *doc = edge_json_create(NULL);
    int ok = doc != NULL && edge_json_add_string(doc, "k", r.name) == 0;
    edge_json_delete(doc);
    return ok && r.pool == NULL && r.code == 1 && r.when == 2;
}
