/**
 * @file edge_status.h
 * gravel status codes.
 *
 * Every operation of the kit that reports a status returns a 32-bit unsigned value: 0 for
 * success, one of the EDGE_ERR_* codes below for the kit's own failures, or, where an
 * operation says so, the status of a dependency passed back unchanged (APR, libcurl, the MQTT
 * library, the log configuration reader).
 *
 * The codes are grouped by meaning and pinned: a code is never renumbered or reused, and new
 * codes are only appended. edge_base_status_name() names a code for diagnostics.
 *
 * This header also defines EDGE_API, the export marker of the kit's public functions.
 *
 * A status that is not one of the codes below is a dependency's (the operation says whose):
 * edge_base_status_name() names it "EDGE_ERR_UNKNOWN".
 */
#ifndef GRAVEL_EDGE_STATUS_H
#define GRAVEL_EDGE_STATUS_H

#include <stdint.h>

#ifndef EDGE_API
/** Marks a function or object the kit exports; empty for a module that includes the header. */
#if defined(EDGE_BUILDING)
#define EDGE_API __attribute__((visibility("default")))
#else
#define EDGE_API
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/** Success. */
#define EDGE_OK 0u

/** @name General argument, memory and range failures.
 * @{ */
#define EDGE_ERR_MISSING 20001u      /**< Missing argument or manager, allocation failure, failed check. */
#define EDGE_ERR_NO_MEMORY 20002u    /**< No memory, no handle, no URL or header. */
#define EDGE_ERR_BAD_ARGUMENT 20003u /**< Bad argument or empty table. */
#define EDGE_ERR_OUT_OF_RANGE 20004u /**< Slot out of range, output buffer too small, bad padding. */
#define EDGE_ERR_MUTEX 20005u        /**< Mutex creation failed. */
#define EDGE_ERR_JSON_BODY 20008u    /**< JSON body not built. */
/** @} */

/** @name Files and key stores.
 * @{ */
#define EDGE_ERR_NOT_DIRECTORY 20009u /**< Work dir is not a directory. */
#define EDGE_ERR_FILE_MISSING 20010u  /**< File missing. */
#define EDGE_ERR_FILE_WRITE 20011u    /**< File cannot be opened for writing. */
#define EDGE_ERR_UNDECRYPTABLE 20013u /**< Key store entry or base64 text does not decrypt. */
#define EDGE_ERR_HEX_DECODE 20015u    /**< Hex decoding failed. */
#define EDGE_ERR_HEX_ENCODE 20016u    /**< Hex encoding failed. */
#define EDGE_ERR_KEYSTORE_READ 20017u /**< Key store file unreadable or empty. */
/** @} */

/** @name Cryptography.
 * @{ */
#define EDGE_ERR_AES_DECRYPT 20018u    /**< AES decryption failed. */
#define EDGE_ERR_AES_ENCRYPT 20019u    /**< AES encryption failed. */
#define EDGE_ERR_UNKNOWN_DOMAIN 20020u /**< Unknown domain key. */
#define EDGE_ERR_HMAC 20021u           /**< HMAC failed. */
/** @} */

/** @name Service: topics, hub, MQTT.
 * @{ */
#define EDGE_ERR_NO_MODULE_ID 20024u       /**< Module id missing for the topic table. */
#define EDGE_ERR_HUB_BIND 20025u           /**< Hub bind request failed. */
#define EDGE_ERR_HUB_CLOUD_TOKEN 20026u    /**< Hub cloud-token request failed. */
#define EDGE_ERR_MQTT_NOT_CONNECTED 20027u /**< MQTT not connected. */
#define EDGE_ERR_MQTT_CONNECTED 20028u     /**< MQTT client built while connected. */
#define EDGE_ERR_MQTT_CREATE 20029u        /**< MQTT client creation failed. */
#define EDGE_ERR_PROPERTY_SYNTAX 20030u    /**< Property line syntax error. */
/** @} */

/** @name Service: local daemon and hub device API.
 * @{ */
#define EDGE_ERR_DAEMON_REQUEST 20031u     /**< Daemon bind, encrypt, decrypt or digest request failed. */
#define EDGE_ERR_DAEMON_SIGN 20032u        /**< Daemon sign failed. */
#define EDGE_ERR_DAEMON_VERIFY 20033u      /**< Daemon verify failed. */
#define EDGE_ERR_DAEMON_CLOUD_TOKEN 20034u /**< Daemon cloud token failed. */
#define EDGE_ERR_DAEMON_DEVICE_SIGN 20037u /**< Daemon device sign failed. */
#define EDGE_ERR_DAEMON_CERTS 20038u       /**< Daemon certificates failed. */
#define EDGE_ERR_DAEMON_TRUST_CERTS 20039u /**< Daemon trust certificates failed. */
#define EDGE_ERR_DEVICE_COMMAND 20040u     /**< Device command request failed. */
#define EDGE_ERR_DEVICE_STATUS 20041u      /**< Device statuses request failed. */
#define EDGE_ERR_BROKER_OVERLOADED 20043u  /**< Sending forbidden while the broker is overloaded. */
/** @} */

/**
 * Names a status: "EDGE_OK", the constant's name for a kit code ("EDGE_ERR_MISSING"), or
 * "EDGE_ERR_UNKNOWN" for any other value. The text is static; any thread may call this.
 */
EDGE_API const char *edge_base_status_name(uint32_t status);

#ifdef __cplusplus
}
#endif

#endif /* GRAVEL_EDGE_STATUS_H */
