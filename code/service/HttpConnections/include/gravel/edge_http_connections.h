/*
 * gravel HTTP connections service (libgravel-httpconns): the JSON bodies the service
 * exchanges with the hub and the local daemon, as records with their jobs.
 *
 * Conventions (see <gravel/edge_base.h> and <gravel/edge_json.h>):
 * - Every body is one flat JSON object whose members are a record's fields. Each record type
 *   T below has three exported jobs, made from its declaration in the record table:
 *     edge_json_set<T>_job (parent, name, record): adds the record to a cJSON parent. With no
 *       name, the fields become members of the parent object itself (what
 *       edge_json_struct_to_str uses); with a name, a new object member of that name; into an
 *       array parent, a new element, name or not. Every field is written, hidden ones too.
 *       0; EDGE_ERR_MISSING (no parent or record, or no object could be made);
 *       EDGE_ERR_BAD_ARGUMENT for a parent that is neither an object nor an array; or a field
 *       job's status (nothing is attached to the parent then).
 *     edge_json_get<T>_job (object, pool, name, record): fills the record from a JSON object
 *       (the name is not used). The pool field is set to `pool`, and the strings are copied
 *       into it. Members are matched by exact, case-sensitive name; each must be present and
 *       of its field's kind (a string may also be JSON null). 0; EDGE_ERR_MISSING (no
 *       record, object or pool); EDGE_ERR_BAD_ARGUMENT when the node is not an object (the
 *       record is untouched); otherwise the first failing field job's status, logged as
 *       ERROR "get type:<kind> node_name:<key> failed, ret = <status>", with the fields
 *       before it filled and those after it untouched.
 *     edge_json_print<T>_job (record, result, pool, flag): one line for logs, in the pool.
 *       Flag 0: nothing done. A record whose every field (and pool) is zero: "(zero), ".
 *       Otherwise "[" + "key : value, " for each printed field in table order + "]", where a
 *       zero field shows as "(zero)". Hidden fields are never shown. 0; EDGE_ERR_MISSING.
 * - Records filled by a caller for sending leave `pool` null and borrow their strings.
 * - Threads: the jobs keep no state; a record and a pool are used by one thread at a time.
 */
#ifndef GRAVEL_EDGE_HTTP_CONNECTIONS_H
#define GRAVEL_EDGE_HTTP_CONNECTIONS_H

#include <stdint.h>

#include <apr_pools.h>

#include <gravel/edge_json.h>
#include <gravel/edge_status.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------------------------
 * The record table: each record's fields in order, as (kind, key, print mark). The key is the
 * JSON member name and the field's name; kinds _str (const char *), _ll (int64_t).
 * ------------------------------------------------------------------------------------------ */

/* Hub bind request and response. */
#define EDGE_RECORD_FIELDS_BindReqBody(F) \
    F(_str, module_id, EDGE_JSON_PRINTED) \
    F(_str, verify_code, EDGE_JSON_HIDDEN)
#define EDGE_RECORD_FIELDS_BindRspBody(F) \
    F(_str, secret, EDGE_JSON_HIDDEN)     \
    F(_str, crypt_key, EDGE_JSON_HIDDEN)
/* Hub cloud-token response. */
#define EDGE_RECORD_FIELDS_NodeConfigRsp(F) \
    F(_str, access_key, EDGE_JSON_HIDDEN)   \
    F(_str, secret_key, EDGE_JSON_HIDDEN)   \
    F(_str, region, EDGE_JSON_PRINTED)      \
    F(_str, expires_at, EDGE_JSON_PRINTED)
/* Daemon bind request; bind and sign response. */
#define EDGE_RECORD_FIELDS_DaemonBindReqBody(F) F(_str, verify_code, EDGE_JSON_HIDDEN)
#define EDGE_RECORD_FIELDS_DaemonBindRspBody(F) \
    F(_str, token, EDGE_JSON_HIDDEN)            \
    F(_ll, expires_at, EDGE_JSON_PRINTED)
/* Daemon verify request and response. */
#define EDGE_RECORD_FIELDS_VerifyReqBody(F) F(_str, token, EDGE_JSON_HIDDEN)
#define EDGE_RECORD_FIELDS_VerifyRspBody(F) \
    F(_str, module_id, EDGE_JSON_PRINTED)   \
    F(_ll, expires_at, EDGE_JSON_PRINTED)
/* Daemon cloud-token response. */
#define EDGE_RECORD_FIELDS_CloudTokenRspBody(F) \
    F(_str, access_key, EDGE_JSON_HIDDEN)       \
    F(_str, secret_key, EDGE_JSON_HIDDEN)       \
    F(_str, auth_token, EDGE_JSON_HIDDEN)       \
    F(_str, region, EDGE_JSON_PRINTED)          \
    F(_str, expires_at, EDGE_JSON_PRINTED)      \
    F(_str, token, EDGE_JSON_HIDDEN)            \
    F(_str, kelp_address, EDGE_JSON_PRINTED)    \
    F(_str, dock_api_address, EDGE_JSON_PRINTED)
/* Daemon certificates and trust certificates responses. */
#define EDGE_RECORD_FIELDS_NodeCertsRspBody(F) \
    F(_str, certificate, EDGE_JSON_HIDDEN)     \
    F(_ll, expires_at, EDGE_JSON_PRINTED)      \
    F(_str, private_key, EDGE_JSON_HIDDEN)
#define EDGE_RECORD_FIELDS_ModuleTrustCertsRspBody(F) \
    F(_str, certificate, EDGE_JSON_HIDDEN)            \
    F(_ll, expires_at, EDGE_JSON_PRINTED)
/* Daemon device-sign response. */
#define EDGE_RECORD_FIELDS_DeviceSignRspBody(F) \
    F(_str, client_id, EDGE_JSON_HIDDEN)        \
    F(_str, password, EDGE_JSON_HIDDEN)
/* Daemon crypto services: encrypt, decrypt, digest. */
#define EDGE_RECORD_FIELDS_EncryptReqBody(F) \
    F(_str, plaintext, EDGE_JSON_HIDDEN)     \
    F(_str, algorithm, EDGE_JSON_HIDDEN)
#define EDGE_RECORD_FIELDS_EncryptRspBody(F) F(_str, ciphertext, EDGE_JSON_HIDDEN)
#define EDGE_RECORD_FIELDS_DecryptReqBody(F) \
    F(_str, ciphertext, EDGE_JSON_HIDDEN)    \
    F(_str, algorithm, EDGE_JSON_HIDDEN)
#define EDGE_RECORD_FIELDS_DecryptRspBody(F) F(_str, plaintext, EDGE_JSON_HIDDEN)
#define EDGE_RECORD_FIELDS_DigestReqBody(F) \
    F(_str, data, EDGE_JSON_HIDDEN)         \
    F(_str, algorithm, EDGE_JSON_HIDDEN)
#define EDGE_RECORD_FIELDS_DigestRspBody(F) F(_str, digest, EDGE_JSON_HIDDEN)
/* App device-command request. */
#define EDGE_RECORD_FIELDS_CommandReqBody(F) \
    F(_str, command, EDGE_JSON_PRINTED)      \
    F(_ll, timeout, EDGE_JSON_PRINTED)

/* The service's record table, in order. R is applied to each record type name. */
#define EDGE_HTTP_RECORD_TABLE(R) \
    R(BindReqBody)                \
    R(BindRspBody)                \
    R(NodeConfigRsp)              \
    R(DaemonBindReqBody)          \
    R(DaemonBindRspBody)          \
    R(VerifyReqBody)              \
    R(VerifyRspBody)              \
    R(CloudTokenRspBody)          \
    R(NodeCertsRspBody)           \
    R(ModuleTrustCertsRspBody)    \
    R(DeviceSignRspBody)          \
    R(EncryptReqBody)             \
    R(EncryptRspBody)             \
    R(DecryptReqBody)             \
    R(DecryptRspBody)             \
    R(DigestReqBody)              \
    R(DigestRspBody)              \
    R(CommandReqBody)

/* Each record: `apr_pool_t *pool;` then its fields in table order (const char * for _str,
 * int64_t for _ll), and its three jobs. */
EDGE_HTTP_RECORD_TABLE(EDGE_JSON_DECLARE_RECORD)

#ifdef __cplusplus
}
#endif

#endif /* GRAVEL_EDGE_HTTP_CONNECTIONS_H */
