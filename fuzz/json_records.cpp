// Fuzzes the get jobs of every record of both services' record tables with arbitrary JSON text
// (the first input byte picks the record, the rest is the text).
//
// Properties: no crash; a text that is not one JSON object leaves the record untouched; a get
// that succeeds filled every field with its member's value (a string or null for a string
// field, the whole number for a number field); the record written back with its set job and
// read again with its get job is the same record; its print job gives "[", then "key : value, "
// for each printed field ("(zero)" for an empty one), then "]", and never a hidden field.
// (The print job's text is a log line, not JSON: the round trip goes through the set job.)
#include <cJSON.h>

#include <cmath>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include <apr_pools.h>

#include <gravel/edge_http_connections.h>
#include <gravel/edge_mqtt_connections.h>

#include "edge_json_record.hpp"
#include "fuzz_support.hpp"

namespace {

using gravel::json::Field;
using gravel::json::Kind;

struct RecordType {
    const char *name;
    size_t size;
    std::span<const Field> fields;
    edge_json_set_job_fn set;
    edge_json_get_job_fn get;
    edge_json_print_job_fn print;
};

// The field tables of the records, from the services' own record tables.
#define FUZZ_FIELD_TABLE(T)                                                     \
    namespace T##_fields {                                                      \
        using Record = ::T;                                                     \
        const Field fields[] = {EDGE_RECORD_FIELDS_##T(EDGE_JSON_FIELD_ENTRY)}; \
    }
EDGE_HTTP_RECORD_TABLE(FUZZ_FIELD_TABLE)
EDGE_MQTT_RECORD_TABLE(FUZZ_FIELD_TABLE)
#undef FUZZ_FIELD_TABLE

#define FUZZ_RECORD_TYPE(T) \
    RecordType{             \
        #T, sizeof(T), T##_fields::fields, edge_json_set##T##_job, edge_json_get##T##_job, edge_json_print##T##_job},
const RecordType kRecords[] = {EDGE_HTTP_RECORD_TABLE(FUZZ_RECORD_TYPE) EDGE_MQTT_RECORD_TABLE(FUZZ_RECORD_TYPE)};
#undef FUZZ_RECORD_TYPE

const char *str_at(const std::vector<unsigned char> &record, const Field &f) {
    const char *s = nullptr;
    std::memcpy(&s, record.data() + f.offset, sizeof s);
    return s;
}
int64_t number_at(const std::vector<unsigned char> &record, const Field &f) {
    if (f.kind == Kind::int32) {
        int32_t v = 0;
        std::memcpy(&v, record.data() + f.offset, sizeof v);
        return v;
    }
    int64_t v = 0;
    std::memcpy(&v, record.data() + f.offset, sizeof v);
    return v;
}

bool all_zero(const std::vector<unsigned char> &record) {
    for (const unsigned char b : record) {
        if (b != 0) return false;
    }
    return true;
}

// Same fields (pool aside).
bool same(const RecordType &type, const std::vector<unsigned char> &a, const std::vector<unsigned char> &b,
          std::string &which) {
    for (const Field &f : type.fields) {
        which = f.key;
        if (f.kind == Kind::str) {
            const char *x = str_at(a, f);
            const char *y = str_at(b, f);
            if ((x == nullptr) != (y == nullptr) || (x != nullptr && std::strcmp(x, y) != 0)) return false;
        } else if (number_at(a, f) != number_at(b, f)) {
            return false;
        }
    }
    return true;
}

std::string expected_print(const RecordType &type, const std::vector<unsigned char> &record) {
    std::string text = "[";
    for (const Field &f : type.fields) {
        if (!f.printed) continue;
        std::string value;
        if (f.kind == Kind::str) {
            const char *s = str_at(record, f);
            value = s == nullptr ? "(zero)" : s;
        } else {
            const int64_t v = number_at(record, f);
            value = v == 0 ? "(zero)" : std::to_string(v);
        }
        text += std::string(f.key) + " : " + value + ", ";
    }
    return text + "]";
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    gravel::fuzz::start_base();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    gravel::fuzz::Reader in(data, size);
    const RecordType &type = kRecords[in.byte() % std::size(kRecords)];
    const std::string text = in.rest();

    apr_pool_t *pool = nullptr;
    FUZZ_CHECK(apr_pool_create(&pool, nullptr) == APR_SUCCESS, "no pool");
    std::vector<unsigned char> record(type.size, 0);
    const uint32_t status = edge_json_str_to_struct(record.data(), text.c_str(), pool, type.get);

    cJSON *root = cJSON_ParseWithOpts(text.c_str(), nullptr, 1);
    if (!cJSON_IsObject(root)) {
        FUZZ_CHECK(status != EDGE_OK, "%s: a text that is no JSON object was read", type.name);
        FUZZ_CHECK(all_zero(record), "%s: a text that is no JSON object changed the record", type.name);
    }
    if (status == EDGE_OK) {
        FUZZ_CHECK(root != nullptr, "%s: read from a text that does not parse", type.name);
        apr_pool_t *owner = nullptr;
        std::memcpy(&owner, record.data(), sizeof owner);
        FUZZ_CHECK(owner == pool, "%s: the record's pool is not the one given", type.name);
        for (const Field &f : type.fields) {
            const cJSON *member = cJSON_GetObjectItemCaseSensitive(root, f.key);
            FUZZ_CHECK(member != nullptr, "%s: read without member %s", type.name, f.key);
            if (f.kind == Kind::str) {
                const char *s = str_at(record, f);
                if (cJSON_IsNull(member)) {
                    FUZZ_CHECK(s == nullptr, "%s.%s: null read as a string", type.name, f.key);
                } else {
                    FUZZ_CHECK(cJSON_IsString(member) && s != nullptr && std::strcmp(s, member->valuestring) == 0,
                               "%s.%s: the string read is not the member's", type.name, f.key);
                }
            } else {
                FUZZ_CHECK(cJSON_IsNumber(member), "%s.%s: a number read from a non-number", type.name, f.key);
                const double v = static_cast<double>(number_at(record, f));
                const double want = member->valuedouble;
                FUZZ_CHECK(std::fabs(v - want) <= std::fabs(want) * 1e-15, "%s.%s: read %.17g from %.17g", type.name,
                           f.key, v, want);
            }
        }

        char *written = nullptr;
        FUZZ_CHECK(edge_json_struct_to_str(record.data(), &written, pool, type.set) == EDGE_OK && written != nullptr,
                   "%s: a record read cannot be written", type.name);
        std::vector<unsigned char> again(type.size, 0);
        const uint32_t back = edge_json_str_to_struct(again.data(), written, pool, type.get);
        FUZZ_CHECK(back == EDGE_OK, "%s: the written text %s does not read back (%u)", type.name, written, back);
        std::string which;
        FUZZ_CHECK(same(type, record, again, which), "%s.%s differs after writing %s and reading back", type.name,
                   which.c_str(), written);

        char *printed = nullptr;
        FUZZ_CHECK(type.print(record.data(), &printed, pool, 1) == EDGE_OK && printed != nullptr, "%s: print failed",
                   type.name);
        const std::string want = expected_print(type, record);
        FUZZ_CHECK(want == printed, "%s printed as %s, not %s", type.name, printed, want.c_str());
    }
    cJSON_Delete(root);
    apr_pool_destroy(pool);
    return 0;
}
