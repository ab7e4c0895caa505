// Fuzzes the MQTT connections service's inbound dispatch, edge_mqtt_conns_recv_msg, with
// arbitrary topics and payloads (input: the status the application's callback answers, the
// topic up to a zero byte, then the payload).
//
// Properties: an empty topic or payload is refused and never reaches the application;
// otherwise the message callback runs once with the topic cut at the first "/request_id=" and
// the rest of the topic after it as the request id (none when the marker is absent or opens
// the topic), with the very payload bytes and length; its status is what dispatch returns.
#include <cstring>
#include <optional>
#include <string>

#include <gravel/edge_mqtt_connections.h>

#include "fuzz_support.hpp"

namespace {

struct Call {
    int count = 0;
    std::string topic;
    std::optional<std::string> request_id;
    const void *payload = nullptr;
    int32_t payload_len = 0;
    uint32_t answer = 0;
};
Call call;

uint32_t on_message(const char *topic, const char *request_id, const void *payload, int32_t payload_len) {
    ++call.count;
    FUZZ_CHECK(topic != nullptr, "the callback got no topic");
    call.topic = topic;
    call.request_id = request_id == nullptr ? std::nullopt : std::optional<std::string>(request_id);
    call.payload = payload;
    call.payload_len = payload_len;
    return call.answer;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    gravel::fuzz::start_base();
    FUZZ_CHECK(edge_mqtt_conns_init() == EDGE_OK, "mqtt connections init failed");
    FUZZ_CHECK(edge_mqtt_conns_set_callback(on_message, nullptr, nullptr) == EDGE_OK, "callback not set");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    gravel::fuzz::Reader in(data, size);
    const uint8_t answer = in.byte();
    const std::string topic = in.part();
    const std::string payload = in.rest();

    call = Call{};
    call.answer = answer % 4 == 0 ? EDGE_OK : 20000u + answer;
    const uint32_t status = edge_mqtt_conns_recv_msg(topic.c_str(), static_cast<int32_t>(topic.size()), payload.data(),
                                                     static_cast<int32_t>(payload.size()));
    if (topic.empty() || payload.empty()) {
        FUZZ_CHECK(status == EDGE_ERR_BAD_ARGUMENT, "an empty topic or payload gave %u", status);
        FUZZ_CHECK(call.count == 0, "an empty topic or payload reached the application");
        return 0;
    }
    FUZZ_CHECK(call.count == 1, "the callback ran %d times", call.count);
    FUZZ_CHECK(status == call.answer, "dispatch gave %u, the callback %u", status, call.answer);
    FUZZ_CHECK(call.payload == payload.data() && call.payload_len == static_cast<int32_t>(payload.size()),
               "the payload handed on is not the message's");

    const std::string marker = EDGE_MQTT_CONNS_REQUEST_ID_MARKER;
    const size_t at = topic.find(marker);
    if (at == std::string::npos || at == 0) {
        FUZZ_CHECK(call.topic == topic && !call.request_id, "topic [%s] without a request id became [%s]",
                   topic.c_str(), call.topic.c_str());
    } else {
        FUZZ_CHECK(call.topic == topic.substr(0, at), "topic [%s] cut to [%s]", topic.c_str(), call.topic.c_str());
        FUZZ_CHECK(call.request_id && *call.request_id == topic.substr(at + marker.size()),
                   "topic [%s] gave request id [%s]", topic.c_str(),
                   call.request_id ? call.request_id->c_str() : "none");
    }
    return 0;
}
