// Fuzzes the body builders of the MQTT connections service with arbitrary parameter texts
// (input: which builder, then its text arguments separated by zero bytes).
//
// Properties: a builder gives no body exactly when a JSON text it was given is not one whole
// JSON value (or the event's service id, event type or parameters are empty); otherwise the
// body parses as JSON, holds exactly its members in their order with the values given (the
// parameters as they parse; the configured module and device ids; the event time in UTC as
// 20230307T090807Z), and is valid UTF-8 whenever every text given is.
#include <cJSON.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <apr_pools.h>

#include <gravel/edge_cipher.h>
#include <gravel/edge_configs.h>
#include <gravel/edge_mqtt_connections.h>

#include "fuzz_support.hpp"

namespace {

constexpr const char *kModuleId = "fuzzmodule01";
constexpr const char *kDeviceId = "fuzz-device-7";

bool valid_utf8(std::string_view s) {
    for (size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        size_t n = 0;
        uint32_t cp = 0;
        uint32_t min = 0;
        if (c < 0x80) {
            ++i;
            continue;
        }
        if ((c & 0xE0) == 0xC0) {
            n = 1, cp = c & 0x1Fu, min = 0x80;
        } else if ((c & 0xF0) == 0xE0) {
            n = 2, cp = c & 0x0Fu, min = 0x800;
        } else if ((c & 0xF8) == 0xF0) {
            n = 3, cp = c & 0x07u, min = 0x10000;
        } else {
            return false;
        }
        if (s.size() - i <= n) return false;
        for (size_t k = 1; k <= n; ++k) {
            const auto d = static_cast<unsigned char>(s[i + k]);
            if ((d & 0xC0) != 0x80) return false;
            cp = cp << 6 | (d & 0x3Fu);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += n + 1;
    }
    return true;
}

// A whole JSON value, as the kit reads texts (a whole number keeps its digits in valuestring);
// null when the text is not one.
cJSON *parse(const std::string &text) {
    return edge_json_create(text.c_str());
}

// A JSON whole number as written: a minus, then 0 or digits not starting with 0.
bool whole_number(const char *digits) {
    if (digits == nullptr) return false;
    if (*digits == '-') ++digits;
    if (*digits < '0' || *digits > '9' || (digits[0] == '0' && digits[1] != '\0')) return false;
    for (; *digits != '\0'; ++digits) {
        if (*digits < '0' || *digits > '9') return false;
    }
    return true;
}

// Values as given: whole numbers with their very digits (also those beyond a double's range),
// other numbers as cJSON prints them (its printing of fractions may differ in the last bit;
// one beyond a double's range it prints as null).
bool same_value(const cJSON *given, const cJSON *body) {
    if (cJSON_IsNumber(given) && whole_number(given->valuestring)) {
        return cJSON_IsNumber(body) && body->valuestring != nullptr &&
               std::strcmp(given->valuestring, body->valuestring) == 0;
    }
    if (cJSON_IsNumber(given) && !std::isfinite(given->valuedouble)) return cJSON_IsNull(body);
    if (cJSON_IsArray(given) || cJSON_IsObject(given)) {
        if ((given->type & 0xff) != (body->type & 0xff)) return false;
        const cJSON *a = given->child;
        const cJSON *b = body->child;
        for (; a != nullptr && b != nullptr; a = a->next, b = b->next) {
            if (cJSON_IsObject(given) && std::strcmp(a->string, b->string) != 0) return false;
            if (!same_value(a, b)) return false;
        }
        return a == nullptr && b == nullptr;
    }
    return cJSON_Compare(given, body, 1) != 0;
}

// The body's members, in order, with the checks of their values.
struct Member {
    const char *name;
    const cJSON *value = nullptr;  // a given JSON value, or
    const char *text = nullptr;    // a string, or
    bool number = false;           // a whole number, with its digits
    int64_t number_value = 0;
    bool time = false;  // the event time
    bool any = false;   // checked apart
};

void check_members(const cJSON *object, const std::vector<Member> &members, const char *what) {
    FUZZ_CHECK(cJSON_IsObject(object), "%s: not an object", what);
    const cJSON *item = object->child;
    for (const Member &m : members) {
        FUZZ_CHECK(item != nullptr, "%s: member %s missing", what, m.name);
        FUZZ_CHECK(item->string != nullptr && std::strcmp(item->string, m.name) == 0, "%s: %s where %s belongs", what,
                   item->string, m.name);
        if (m.any) {
        } else if (m.value != nullptr) {
            FUZZ_CHECK(same_value(m.value, item), "%s: %s is not the value given", what, m.name);
        } else if (m.number) {
            FUZZ_CHECK(cJSON_IsNumber(item) && item->valuestring != nullptr &&
                           std::strtoll(item->valuestring, nullptr, 10) == m.number_value,
                       "%s: %s is %s, not %lld", what, m.name, item->valuestring,
                       static_cast<long long>(m.number_value));
        } else if (m.time) {
            const char *t = cJSON_GetStringValue(item);
            bool shaped = t != nullptr && std::strlen(t) == 16 && t[8] == 'T' && t[15] == 'Z';
            for (int i = 0; shaped && i < 15; ++i) shaped = i == 8 || (t[i] >= '0' && t[i] <= '9');
            FUZZ_CHECK(shaped, "%s: event time %s", what, t != nullptr ? t : "(none)");
        } else {
            FUZZ_CHECK(cJSON_IsString(item) && std::strcmp(item->valuestring, m.text) == 0, "%s: %s is not [%s]", what,
                       m.name, m.text);
        }
        item = item->next;
    }
    FUZZ_CHECK(item == nullptr, "%s: an extra member %s", what, item->string);
}

// The deepest nesting of arrays and objects in a JSON text.
int nesting(std::string_view text) {
    int depth = 0;
    int deepest = 0;
    bool in_string = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (in_string) {
            if (c == '\\') {
                ++i;
            } else if (c == '"') {
                in_string = false;
            }
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            deepest = std::max(deepest, ++depth);
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return deepest;
}

// The body, when one was due, parsed and handed to `check`; no body when none was due.
template <typename Check>
void expect(const char *body, bool due, bool utf8, const char *what, Check check) {
    if (!due) {
        FUZZ_CHECK(body == nullptr, "%s: a body from invalid input: %s", what, body);
        return;
    }
    FUZZ_CHECK(body != nullptr, "%s: no body from valid input", what);
    if (utf8) FUZZ_CHECK(valid_utf8(body), "%s: the body is not UTF-8", what);
    cJSON *root = parse(body);
    if (root == nullptr && nesting(body) > CJSON_NESTING_LIMIT) {
        // Parameters nested up to cJSON's limit give a body nested deeper than cJSON reads;
        // JSON itself sets no limit.
        return;
    }
    FUZZ_CHECK(root != nullptr, "%s: the body does not parse: %s", what, body);
    check(root);
    edge_json_delete(root);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    gravel::fuzz::start_base();
    FUZZ_CHECK(edge_cipher_init() == EDGE_OK, "cipher init failed");
    FUZZ_CHECK(edge_configs_init() == EDGE_OK, "configs init failed");
    FUZZ_CHECK(edge_configs_set_str(0, "module_id", kModuleId, 0) == EDGE_OK, "module id not set");
    FUZZ_CHECK(edge_configs_set_str(0, "device_id", kDeviceId, 0) == EDGE_OK, "device id not set");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    gravel::fuzz::Reader in(data, size);
    const uint8_t which = in.byte();
    const int32_t number = static_cast<int32_t>(in.u32());
    const std::string a = in.part();
    const std::string b = in.part();
    const std::string c = in.part();
    const std::string d = in.rest();
    apr_pool_t *pool = nullptr;
    FUZZ_CHECK(apr_pool_create(&pool, nullptr) == APR_SUCCESS, "no pool");

    switch (which % 6) {
        case 0: {  // command response: name a, parameters b (none with an odd selector)
            const bool no_params = (which / 6) % 2 == 1;
            cJSON *params = no_params ? edge_json_create(nullptr) : parse(b);
            const char *body = edge_mqtt_conns_build_cmd_rsp(a.c_str(), number, no_params ? nullptr : b.c_str(), pool);
            expect(body, params != nullptr, valid_utf8(a) && valid_utf8(b), "command response", [&](cJSON *root) {
                check_members(root,
                              {{"result_code", nullptr, nullptr, true, number},
                               {"response_name", nullptr, a.c_str()},
                               {"paras", params}},
                              "command response");
            });
            edge_json_delete(params);
            break;
        }
        case 1: {  // service event: event id a, service id b, event type c, parameters d
            cJSON *params = parse(d);
            const char *body = edge_mqtt_conns_build_service_event(a.c_str(), b.c_str(), c.c_str(), d.c_str(), pool);
            const bool due = !b.empty() && !c.empty() && !d.empty() && params != nullptr;
            const bool utf8 = valid_utf8(a) && valid_utf8(b) && valid_utf8(c) && valid_utf8(d);
            expect(body, due, utf8, "service event", [&](cJSON *root) {
                check_members(
                    root,
                    {{"services", nullptr, nullptr, false, 0, false, true}, {"object_device_id", nullptr, kDeviceId}},
                    "service event");
                // "services" was checked by name only: one object of the event's members.
                const cJSON *services = root->child;
                FUZZ_CHECK(cJSON_IsArray(services) && cJSON_GetArraySize(services) == 1, "services is not one event");
                std::vector<Member> members = {{"service_id", nullptr, b.c_str()},
                                               {"event_type", nullptr, c.c_str()},
                                               {"event_time", nullptr, nullptr, false, 0, true}};
                if (!a.empty()) members.push_back({"event_id", nullptr, a.c_str()});
                members.push_back({"paras", params});
                check_members(services->child, members, "service event");
            });
            edge_json_delete(params);
            break;
        }
        case 2: {  // scan result: state a, devices b
            cJSON *devices = parse(b);
            const char *body =
                edge_mqtt_conns_build_scan_result(a.c_str(), b.c_str(), static_cast<uint32_t>(b.size()), pool);
            expect(body, devices != nullptr, valid_utf8(a) && valid_utf8(b), "scan result", [&](cJSON *root) {
                check_members(root,
                              {{"state", nullptr, a.c_str()}, {"module_id", nullptr, kModuleId}, {"devices", devices}},
                              "scan result");
            });
            edge_json_delete(devices);
            break;
        }
        case 3: {  // status update: statuses a
            cJSON *statuses = parse(a);
            const char *body = edge_mqtt_conns_build_sub_device_status(a.c_str(), pool);
            expect(body, statuses != nullptr, valid_utf8(a), "status update", [&](cJSON *root) {
                check_members(root, {{"device_statuses", statuses}}, "status update");
            });
            edge_json_delete(statuses);
            break;
        }
        case 4: {  // deleted device: device id a
            const char *body = edge_mqtt_conns_build_delete_sub_device(a.c_str(), pool);
            expect(body, true, valid_utf8(a), "deleted device", [&](cJSON *root) {
                check_members(root, {{"device_id", nullptr, a.c_str()}}, "deleted device");
            });
            break;
        }
        default: {  // sync request: a version from the number and the first text's bytes
            int64_t version = number;
            for (const char ch : a.substr(0, 4)) version = version << 8 | static_cast<unsigned char>(ch);
            const char *body = edge_mqtt_conns_build_sync_sub_device(version, pool);
            expect(body, true, true, "sync request", [&](cJSON *root) {
                check_members(root, {{"version", nullptr, nullptr, true, version}}, "sync request");
            });
            break;
        }
    }
    apr_pool_destroy(pool);
    return 0;
}
