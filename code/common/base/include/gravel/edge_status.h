/*
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
 */
#ifndef GRAVEL_EDGE_STATUS_H
#define GRAVEL_EDGE_STATUS_H

#include <stdint.h>

#ifndef EDGE_API
#if defined(EDGE_BUILDING)
#define EDGE_API __attribute__((visibility("default")))
#else
#define EDGE_API
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Success. */
#define EDGE_OK 0u

/* General argument, memory and range failures. */
#define EDGE_ERR_MISSING 20001u      /* missing argument or manager, allocation failure, failed check */
#define EDGE_ERR_NO_MEMORY 20002u    /* no memory, no handle, no URL or header */
#define EDGE_ERR_BAD_ARGUMENT 20003u /* bad argument or empty table */
#define EDGE_ERR_OUT_OF_RANGE 20004u /* slot out of range, output buffer too small, bad padding */
#define EDGE_ERR_MUTEX 20005u        /* mutex creation failed */
#define EDGE_ERR_JSON_BODY 20008u    /* JSON body not built */

/* Files and key stores. */
#define EDGE_ERR_NOT_DIRECTORY 20009u /* work dir is not a directory */
#define EDGE_ERR_FILE_MISSING 20010u  /* file missing */
#define EDGE_ERR_FILE_WRITE 20011u    /* file cannot be opened for writing */
#define EDGE_ERR_UNDECRYPTABLE 20013u /* key store entry or base64 text does not decrypt */
#define EDGE_ERR_HEX_DECODE 20015u    /* hex decoding failed */
#define EDGE_ERR_HEX_ENCODE 20016u    /* hex encoding failed */
#define EDGE_ERR_KEYSTORE_READ 20017u /* key store file unreadable or empty */

/* Cryptography. */
#define EDGE_ERR_AES_DECRYPT 20018u    /* AES decryption failed */
#define EDGE_ERR_AES_ENCRYPT 20019u    /* AES encryption failed */
#define EDGE_ERR_UNKNOWN_DOMAIN 20020u /* unknown domain key */
#define EDGE_ERR_HMAC 20021u           /* HMAC failed */

/* Service: topics, hub, MQTT. */
#define EDGE_ERR_NO_MODULE_ID 20024u       /* module id missing for the topic table */
#define EDGE_ERR_HUB_BIND 20025u           /* hub bind request failed */
#define EDGE_ERR_HUB_CLOUD_TOKEN 20026u    /* hub cloud-token request failed */
#define EDGE_ERR_MQTT_NOT_CONNECTED 20027u /* MQTT not connected */
#define EDGE_ERR_MQTT_CONNECTED 20028u     /* MQTT client built while connected */
#define EDGE_ERR_MQTT_CREATE 20029u        /* MQTT client creation failed */
#define EDGE_ERR_PROPERTY_SYNTAX 20030u    /* property line syntax error */

/* Service: local daemon and hub device API. */
#define EDGE_ERR_DAEMON_REQUEST 20031u     /* daemon bind, encrypt, decrypt or digest request failed */
#define EDGE_ERR_DAEMON_SIGN 20032u        /* daemon sign failed */
#define EDGE_ERR_DAEMON_VERIFY 20033u      /* daemon verify failed */
#define EDGE_ERR_DAEMON_CLOUD_TOKEN 20034u /* daemon cloud token failed */
#define EDGE_ERR_DAEMON_DEVICE_SIGN 20037u /* daemon device sign failed */
#define EDGE_ERR_DAEMON_CERTS 20038u       /* daemon certificates failed */
#define EDGE_ERR_DAEMON_TRUST_CERTS 20039u /* daemon trust certificates failed */
#define EDGE_ERR_DEVICE_COMMAND 20040u     /* device command request failed */
#define EDGE_ERR_DEVICE_STATUS 20041u      /* device statuses request failed */
#define EDGE_ERR_BROKER_OVERLOADED 20043u  /* sending forbidden while the broker is overloaded */

/*
 * Names a status: "EDGE_OK", the constant's name for a kit code ("EDGE_ERR_MISSING"), or
 * "EDGE_ERR_UNKNOWN" for any other value. The text is static; any thread may call this.
 */
EDGE_API const char *edge_base_status_name(uint32_t status);

#ifdef __cplusplus
}
#endif

#endif /* GRAVEL_EDGE_STATUS_H */
