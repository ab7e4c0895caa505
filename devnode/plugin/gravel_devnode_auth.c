/* gravel-devnode-auth: the dev node's mosquitto plugin (mosquitto 2.0, plugin interface v5).
 *
 * It checks every MQTT CONNECT as an edge node's broker does, and confines each module to its
 * own topics. What it knows comes from the credentials file that the dev node writes
 * (mosquitto option "plugin_opt_credentials_file <path>"), one record per line:
 *
 *     module <module id> <secret>               a module and the secret the hub issued it
 *     token <module id> <token> <expires at ms> a daemon token, valid while expires at > now
 *     cloud <user name> <password>              the cloud side: any client id, any topic
 *
 * Fields are separated by blanks; blank lines and lines starting with '#' are ignored; a line
 * that is malformed or of an unknown type is skipped with a log line. The file is looked at on
 * every CONNECT and read again when it changed, so tokens issued after the broker started are
 * honoured. When it cannot be read, the last copy read is kept; before any was read, every
 * client is refused.
 *
 * CONNECT, in this order:
 *   1. a cloud user name: the password must be the cloud password;
 *   2. otherwise the user name is a module id the file knows;
 *   3. the client id is "module_<module id>_1_<UTC time as YYYYmmddHHMMSS>", the time at most
 *      300 seconds away from now;
 *   4. the password is the lowercase hex HMAC-SHA256 of the client id keyed with the module's
 *      secret, or an unexpired daemon token of the module.
 * Each decision is one NOTICE line, "gravel-devnode-auth: accepted ..." or "... refused ...";
 * passwords, secrets and tokens never reach the log.
 *
 * Topics: a module may subscribe, publish and receive only under "/modules/<id>/" and
 * "$qx/modules/<id>/"; cloud users everywhere.
 */
#define _DEFAULT_SOURCE /* timegm, struct stat's st_mtim */

#include <errno.h>
#include <fcntl.h>
#include <stdbool.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <mosquitto.h>
#include <mosquitto_broker.h>
#include <mosquitto_plugin.h>

#define LOG_PREFIX "gravel-devnode-auth: "

/* Field limits of the credentials file, in bytes; a longer field makes its line skipped. */
#define MODULE_ID_MAX 64
#define SECRET_MAX 256
#define TOKEN_MAX 255
#define CLOUD_FIELD_MAX 128
#define NAME_MAX_BYTES 128  /* the longer of a module id and a cloud user name */
#define VALUE_MAX_BYTES 256 /* the longest of a secret, a token and a cloud password */

/* Longest line worth reading (the longest valid record is under 400 bytes) and largest file. */
#define LINE_MAX_BYTES 1024
#define FILE_MAX_BYTES (4 * 1024 * 1024)

/* How far the time in a client id may be from the broker's clock. */
#define CLIENT_ID_WINDOW_S 300
/* "module_<id>_1_" and 14 digits. */
#define CLIENT_ID_PREFIX "module_"
#define CLIENT_ID_INFIX "_1_"
#define CLIENT_ID_TIME_DIGITS 14
#define HMAC_HEX_LENGTH 64

/* Client ids, user names and topics are cut to this many bytes in log lines. */
#define LOG_FIELD_MAX 200

enum record_type {
    RECORD_MODULE,
    RECORD_TOKEN,
    RECORD_CLOUD
};

/* One line of the credentials file. name: module id or cloud user name; value: secret, token
 * or cloud password. */
struct record {
    enum record_type type;
    char name[NAME_MAX_BYTES + 1];
    char value[VALUE_MAX_BYTES + 1];
    long long expires_at_ms; /* tokens only */
};

struct credentials {
    struct record *records;
    size_t count;
    size_t capacity;
};

/* What identifies one version of the file: re-read when any of it changed. */
struct file_version {
    dev_t device;
    ino_t inode;
    off_t size;
    struct timespec mtime;
};

struct plugin {
    mosquitto_plugin_id_t *identifier;
    char *path;
    struct credentials credentials; /* the last copy read */
    bool loaded;                    /* false until a copy was read */
    struct file_version version;    /* of the copy read */
};

/* ---------------------------------------------------------------------------------------- */
/* Small helpers                                                                              */

/* Copies `text` for a log line: bytes below 0x20 and 0x7f become '?', at most LOG_FIELD_MAX
 * bytes, "..." marks a cut. A null text is empty. */
static const char *printable(const char *text, char out[LOG_FIELD_MAX + 4]) {
    size_t n = 0;
    if (text != NULL) {
        for (; text[n] != '\0' && n < LOG_FIELD_MAX; ++n) {
            const unsigned char c = (unsigned char)text[n];
            out[n] = (c < 0x20 || c == 0x7f) ? '?' : (char)c;
        }
        if (text[n] != '\0') {
            memcpy(out + n, "...", 3);
            n += 3;
        }
    }
    out[n] = '\0';
    return out;
}

/* Equal strings, compared in time that does not depend on where they differ. */
static bool secret_equal(const char *a, const char *b) {
    const size_t length = strlen(a);
    return length == strlen(b) && CRYPTO_memcmp(a, b, length) == 0;
}

static bool starts_with(const char *text, const char *prefix) {
    return strncmp(text, prefix, strlen(prefix)) == 0;
}

static long long now_ms(void) {
    struct timespec now;
    if (clock_gettime(CLOCK_REALTIME, &now) != 0) return 0;
    return (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

/* ---------------------------------------------------------------------------------------- */
/* The credentials file                                                                       */

static void credentials_free(struct credentials *credentials) {
    if (credentials->records != NULL) {
        OPENSSL_cleanse(credentials->records, credentials->capacity * sizeof *credentials->records);
        mosquitto_free(credentials->records);
    }
    credentials->records = NULL;
    credentials->count = credentials->capacity = 0;
}

static const struct record *find_record(const struct credentials *credentials, enum record_type type,
                                        const char *name) {
    if (name == NULL) return NULL;
    for (size_t i = 0; i < credentials->count; ++i) {
        const struct record *r = &credentials->records[i];
        if (r->type == type && strcmp(r->name, name) == 0) return r;
    }
    return NULL;
}

/* Adds a record; a module or cloud user already known is replaced (the later line counts),
 * tokens accumulate. False when out of memory. */
static bool credentials_add(struct credentials *credentials, const struct record *record) {
    if (record->type != RECORD_TOKEN) {
        struct record *known = (struct record *)find_record(credentials, record->type, record->name);
        if (known != NULL) {
            *known = *record;
            return true;
        }
    }
    if (credentials->count == credentials->capacity) {
        const size_t capacity = credentials->capacity == 0 ? 16 : credentials->capacity * 2;
        struct record *records = mosquitto_calloc(capacity, sizeof *records);
        if (records == NULL) return false;
        if (credentials->count > 0) memcpy(records, credentials->records, credentials->count * sizeof *records);
        /* The old array holds secrets: wiped before it goes. */
        const size_t count = credentials->count;
        credentials_free(credentials);
        credentials->records = records;
        credentials->count = count;
        credentials->capacity = capacity;
    }
    credentials->records[credentials->count++] = *record;
    return true;
}

/* A module id names a topic level and is the user name: no topic separators or wildcards, no
 * control characters. */
static bool valid_module_id(const char *id) {
    const size_t length = strlen(id);
    return length >= 1 && length <= MODULE_ID_MAX && strpbrk(id, "/+#") == NULL;
}

/* Copies a field of 1..max bytes; false when it is longer. */
static bool take_field(char *out, const char *field, size_t max) {
    const size_t length = strlen(field);
    if (length == 0 || length > max) return false;
    memcpy(out, field, length + 1);
    return true;
}

/* Milliseconds since the epoch: decimal digits only, at most 18 so the value fits. */
static bool parse_expiry(const char *text, long long *out) {
    const size_t length = strlen(text);
    if (length == 0 || length > 18 || strspn(text, "0123456789") != length) return false;
    *out = strtoll(text, NULL, 10);
    return true;
}

/* Turns the fields of one line into a record; the reason it is malformed otherwise. */
static const char *parse_record(char **fields, int count, struct record *record) {
    memset(record, 0, sizeof *record);
    if (strcmp(fields[0], "module") == 0) {
        record->type = RECORD_MODULE;
        if (count != 3) return "a module line has 3 fields";
        if (!valid_module_id(fields[1]) || !take_field(record->name, fields[1], MODULE_ID_MAX)) {
            return "module id longer than 64 bytes, or with '/', '+' or '#'";
        }
        if (!take_field(record->value, fields[2], SECRET_MAX)) return "secret longer than 256 bytes";
    } else if (strcmp(fields[0], "token") == 0) {
        record->type = RECORD_TOKEN;
        if (count != 4) return "a token line has 4 fields";
        if (!valid_module_id(fields[1]) || !take_field(record->name, fields[1], MODULE_ID_MAX)) {
            return "module id longer than 64 bytes, or with '/', '+' or '#'";
        }
        if (!take_field(record->value, fields[2], TOKEN_MAX)) return "token longer than 255 bytes";
        if (!parse_expiry(fields[3], &record->expires_at_ms)) return "expiry is not milliseconds since the epoch";
    } else if (strcmp(fields[0], "cloud") == 0) {
        record->type = RECORD_CLOUD;
        if (count != 3) return "a cloud line has 3 fields";
        if (!take_field(record->name, fields[1], CLOUD_FIELD_MAX)) return "user name longer than 128 bytes";
        if (!take_field(record->value, fields[2], CLOUD_FIELD_MAX)) return "password longer than 128 bytes";
    } else {
        return "unknown record type";
    }
    return NULL;
}

/* Splits a line at blanks, in place, into at most `max` fields; returns how many there are
 * (max + 1 when there are more). */
static int split_fields(char *line, char **fields, int max) {
    int count = 0;
    for (char *p = line; *p != '\0';) {
        while (*p == ' ' || *p == '\t') *p++ = '\0';
        if (*p == '\0') break;
        if (count == max) return max + 1;
        fields[count++] = p;
        while (*p != '\0' && *p != ' ' && *p != '\t') ++p;
    }
    return count;
}

/* Parses the whole text (which it changes) into `credentials`. Lines that are skipped are
 * logged with their number and why, never with their content. False when out of memory. */
static bool parse_credentials(const char *path, char *text, size_t length, struct credentials *credentials) {
    int number = 0;
    for (size_t start = 0; start < length;) {
        ++number;
        char *line = text + start;
        char *end = memchr(line, '\n', length - start);
        const size_t line_length = end != NULL ? (size_t)(end - line) : length - start;
        start += line_length + 1;
        line[line_length] = '\0'; /* the text has room for one byte past its end */

        const char *why = NULL;
        if (line_length > LINE_MAX_BYTES) {
            why = "line too long";
        } else if (memchr(line, '\0', line_length) != NULL) {
            why = "NUL byte in the line";
        } else {
            if (line_length > 0 && line[line_length - 1] == '\r') line[line_length - 1] = '\0';
            for (const char *p = line; *p != '\0' && why == NULL; ++p) {
                if (((unsigned char)*p < 0x20 && *p != '\t') || *p == 0x7f) why = "control character in the line";
            }
        }
        struct record record;
        memset(&record, 0, sizeof record);
        if (why == NULL) {
            char *fields[4];
            const int count = split_fields(line, fields, 4);
            if (count == 0 || fields[0][0] == '#') continue; /* blank line or comment */
            why = count > 4 ? "too many fields" : parse_record(fields, count, &record);
        }
        const bool added = why == NULL && credentials_add(credentials, &record);
        OPENSSL_cleanse(&record, sizeof record);
        if (why != NULL) {
            mosquitto_log_printf(MOSQ_LOG_WARNING, LOG_PREFIX "%s line %d skipped: %s", path, number, why);
        } else if (!added) {
            return false;
        }
    }
    return true;
}

/* Reads the whole file into a buffer with one spare byte, and what version of it that is. */
static int read_whole_file(const char *path, char **text, size_t *length, struct file_version *version) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return errno;
    struct stat info;
    int rc = 0;
    char *buffer = NULL;
    size_t used = 0;
    if (fstat(fd, &info) != 0) {
        rc = errno;
    } else if (!S_ISREG(info.st_mode)) {
        rc = EINVAL;
    } else if (info.st_size > FILE_MAX_BYTES) {
        rc = EFBIG;
    } else if ((buffer = mosquitto_malloc((size_t)info.st_size + 2)) == NULL) {
        rc = ENOMEM;
    } else {
        /* One byte more than the size, to see the file grow while it is read. */
        const size_t want = (size_t)info.st_size + 1;
        while (used < want) {
            const ssize_t n = read(fd, buffer + used, want - used);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                rc = errno;
                break;
            }
            if (n == 0) break;
            used += (size_t)n;
        }
        if (rc == 0 && used != (size_t)info.st_size) rc = EAGAIN; /* changed while read */
    }
    close(fd);
    if (rc != 0) {
        if (buffer != NULL) {
            OPENSSL_cleanse(buffer, used);
            mosquitto_free(buffer);
        }
        return rc;
    }
    version->device = info.st_dev;
    version->inode = info.st_ino;
    version->size = info.st_size;
    version->mtime = info.st_mtim;
    *text = buffer;
    *length = used;
    return 0;
}

static bool same_version(const struct file_version *version, const struct stat *info) {
    return version->device == info->st_dev && version->inode == info->st_ino && version->size == info->st_size &&
           version->mtime.tv_sec == info->st_mtim.tv_sec && version->mtime.tv_nsec == info->st_mtim.tv_nsec;
}

static void log_unreadable(const struct plugin *plugin, const char *what, int error) {
    mosquitto_log_printf(MOSQ_LOG_WARNING, LOG_PREFIX "cannot %s credentials file %s: %s; %s", what, plugin->path,
                         strerror(error),
                         plugin->loaded ? "keeping the copy read before" : "refusing every client until it is read");
}

/* Reads the credentials file and, when that worked, puts it in place of the copy in use. */
static void load_credentials(struct plugin *plugin) {
    char *text = NULL;
    size_t length = 0;
    struct file_version version;
    const int rc = read_whole_file(plugin->path, &text, &length, &version);
    if (rc != 0) {
        log_unreadable(plugin, "read", rc);
        return;
    }
    struct credentials fresh = {0};
    const bool parsed = parse_credentials(plugin->path, text, length, &fresh);
    OPENSSL_cleanse(text, length);
    mosquitto_free(text);
    if (!parsed) {
        credentials_free(&fresh);
        log_unreadable(plugin, "store", ENOMEM);
        return;
    }
    credentials_free(&plugin->credentials);
    plugin->credentials = fresh;
    plugin->version = version;
    plugin->loaded = true;
    size_t counts[3] = {0, 0, 0};
    for (size_t i = 0; i < fresh.count; ++i) ++counts[fresh.records[i].type];
    mosquitto_log_printf(MOSQ_LOG_INFO, LOG_PREFIX "read %s: %zu modules, %zu daemon tokens, %zu cloud users",
                         plugin->path, counts[RECORD_MODULE], counts[RECORD_TOKEN], counts[RECORD_CLOUD]);
}

/* Reads the file again when it is not the version in use. */
static void refresh_credentials(struct plugin *plugin) {
    struct stat info;
    if (stat(plugin->path, &info) != 0) {
        log_unreadable(plugin, "stat", errno);
        return;
    }
    if (!plugin->loaded || !same_version(&plugin->version, &info)) load_credentials(plugin);
}

/* ---------------------------------------------------------------------------------------- */
/* CONNECT                                                                                    */

/* The UTC time of 14 digits YYYYmmddHHMMSS; false when they are no valid time. */
static bool parse_utc_time(const char *digits, time_t *out) {
    int value[6];
    static const int widths[6] = {4, 2, 2, 2, 2, 2};
    const char *p = digits;
    for (int i = 0; i < 6; ++i) {
        value[i] = 0;
        for (int k = 0; k < widths[i]; ++k) value[i] = value[i] * 10 + (*p++ - '0');
    }
    if (value[1] < 1 || value[1] > 12 || value[2] < 1 || value[2] > 31 || value[3] > 23 || value[4] > 59 ||
        value[5] > 59) {
        return false;
    }
    struct tm fields = {0};
    fields.tm_year = value[0] - 1900;
    fields.tm_mon = value[1] - 1;
    fields.tm_mday = value[2];
    fields.tm_hour = value[3];
    fields.tm_min = value[4];
    fields.tm_sec = value[5];
    const time_t t = timegm(&fields);
    /* timegm moves a day past the month's end into the next month: the round trip catches it. */
    struct tm back;
    if (gmtime_r(&t, &back) == NULL || back.tm_year != value[0] - 1900 || back.tm_mon != value[1] - 1 ||
        back.tm_mday != value[2] || back.tm_hour != value[3] || back.tm_min != value[4] || back.tm_sec != value[5]) {
        return false;
    }
    *out = t;
    return true;
}

/* Step 3: "module_<module id>_1_<14 digits>", a valid UTC time, at most 300 s from now. */
static const char *check_client_id(const char *client_id, const char *module_id) {
    const size_t id_length = strlen(module_id);
    const char *p = client_id;
    if (p == NULL || !starts_with(p, CLIENT_ID_PREFIX)) return "client id does not match module id";
    p += strlen(CLIENT_ID_PREFIX);
    if (strncmp(p, module_id, id_length) != 0) return "client id does not match module id";
    p += id_length;
    if (!starts_with(p, CLIENT_ID_INFIX)) return "client id does not match module id";
    p += strlen(CLIENT_ID_INFIX);
    if (strlen(p) != CLIENT_ID_TIME_DIGITS || strspn(p, "0123456789") != CLIENT_ID_TIME_DIGITS) {
        return "client id does not match module id";
    }
    time_t stamp;
    if (!parse_utc_time(p, &stamp)) return "client id time invalid";
    const long long distance = (long long)stamp - (long long)time(NULL);
    if (distance > CLIENT_ID_WINDOW_S || distance < -CLIENT_ID_WINDOW_S) return "client id time out of range";
    return NULL;
}

/* Lowercase hex HMAC-SHA256 of `data` keyed with the bytes of `key`. */
static bool hmac_sha256_hex(const char *key, const char *data, char out[HMAC_HEX_LENGTH + 1]) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digest_length = 0;
    const bool done = HMAC(EVP_sha256(), key, (int)strlen(key), (const unsigned char *)data, strlen(data), digest,
                           &digest_length) != NULL &&
                      digest_length * 2 == HMAC_HEX_LENGTH;
    if (done) {
        static const char hex[] = "0123456789abcdef";
        for (unsigned int i = 0; i < digest_length; ++i) {
            out[2 * i] = hex[digest[i] >> 4];
            out[2 * i + 1] = hex[digest[i] & 0x0f];
        }
        out[HMAC_HEX_LENGTH] = '\0';
    }
    OPENSSL_cleanse(digest, sizeof digest);
    return done;
}

/* Step 4: the HMAC password, else a daemon token of the module. */
static const char *check_module_password(const struct credentials *credentials, const struct record *module,
                                         const char *client_id, const char *password, const char **method) {
    char expected[HMAC_HEX_LENGTH + 1];
    if (!hmac_sha256_hex(module->value, client_id, expected)) return "cannot compute the hmac";
    const bool hmac_matches = secret_equal(password, expected);
    OPENSSL_cleanse(expected, sizeof expected);
    if (hmac_matches) {
        *method = "hmac";
        return NULL;
    }
    /* The same token may be listed more than once (issued again with a later expiry). */
    bool expired = false;
    const long long now = now_ms();
    for (size_t i = 0; i < credentials->count; ++i) {
        const struct record *r = &credentials->records[i];
        if (r->type != RECORD_TOKEN || strcmp(r->name, module->name) != 0 || !secret_equal(password, r->value)) {
            continue;
        }
        if (r->expires_at_ms > now) {
            *method = "daemon token";
            return NULL;
        }
        expired = true;
    }
    return expired ? "daemon token expired" : "wrong password";
}

/* The reason a login is refused, or NULL with how it was accepted. */
static const char *check_login(const struct plugin *plugin, const char *client_id, const char *user,
                               const char *password, const char **method) {
    if (!plugin->loaded) return "no credentials file read yet";
    const struct credentials *credentials = &plugin->credentials;
    const struct record *cloud = find_record(credentials, RECORD_CLOUD, user);
    if (cloud != NULL) {
        if (!secret_equal(password, cloud->value)) return "wrong cloud password";
        *method = "cloud";
        return NULL;
    }
    const struct record *module = find_record(credentials, RECORD_MODULE, user);
    if (module == NULL) return "unknown module id";
    const char *why = check_client_id(client_id, module->name);
    if (why != NULL) return why;
    return check_module_password(credentials, module, client_id, password, method);
}

static int on_basic_auth(int event, void *event_data, void *userdata) {
    (void)event;
    struct plugin *plugin = userdata;
    const struct mosquitto_evt_basic_auth *auth = event_data;
    const char *client_id = mosquitto_client_id(auth->client);
    const char *password = auth->password != NULL ? auth->password : "";
    refresh_credentials(plugin);
    const char *method = NULL;
    const char *why = check_login(plugin, client_id, auth->username, password, &method);
    char shown_id[LOG_FIELD_MAX + 4], shown_user[LOG_FIELD_MAX + 4];
    printable(client_id, shown_id);
    printable(auth->username, shown_user);
    if (why != NULL) {
        mosquitto_log_printf(MOSQ_LOG_NOTICE, LOG_PREFIX "refused client %s user %s: %s", shown_id, shown_user, why);
        return MOSQ_ERR_AUTH;
    }
    mosquitto_log_printf(MOSQ_LOG_NOTICE, LOG_PREFIX "accepted client %s user %s (%s)", shown_id, shown_user, method);
    return MOSQ_ERR_SUCCESS;
}

/* ---------------------------------------------------------------------------------------- */
/* Topics                                                                                     */

/* True when the topic (or filter) is under "<root><module id>/". */
static bool under_module_root(const char *topic, const char *root, const char *module_id) {
    const size_t root_length = strlen(root), id_length = strlen(module_id);
    return strncmp(topic, root, root_length) == 0 && strncmp(topic + root_length, module_id, id_length) == 0 &&
           topic[root_length + id_length] == '/';
}

static const char *access_name(int access) {
    switch (access) {
        case MOSQ_ACL_SUBSCRIBE:
            return "subscribe";
        case MOSQ_ACL_WRITE:
            return "publish";
        case MOSQ_ACL_READ:
            return "read";
        case MOSQ_ACL_UNSUBSCRIBE:
            return "unsubscribe";
        default:
            return "access";
    }
}

static int on_acl_check(int event, void *event_data, void *userdata) {
    (void)event;
    const struct plugin *plugin = userdata;
    const struct mosquitto_evt_acl_check *check = event_data;
    const char *user = mosquitto_client_username(check->client);
    const char *topic = check->topic != NULL ? check->topic : "";
    char shown_topic[LOG_FIELD_MAX + 4], shown[LOG_FIELD_MAX + 4];
    if (user == NULL || user[0] == '\0') {
        mosquitto_log_printf(MOSQ_LOG_NOTICE, LOG_PREFIX "denied %s on %s for client %s without a user name",
                             access_name(check->access), printable(topic, shown_topic),
                             printable(mosquitto_client_id(check->client), shown));
        return MOSQ_ERR_ACL_DENIED;
    }
    if (find_record(&plugin->credentials, RECORD_CLOUD, user) != NULL) return MOSQ_ERR_SUCCESS;
    /* Otherwise the client logged in as a module: its user name is its module id. */
    if (check->access == MOSQ_ACL_UNSUBSCRIBE) return MOSQ_ERR_SUCCESS;
    if (under_module_root(topic, "/modules/", user) || under_module_root(topic, "$qx/modules/", user)) {
        return MOSQ_ERR_SUCCESS;
    }
    mosquitto_log_printf(MOSQ_LOG_NOTICE, LOG_PREFIX "denied %s on %s for module %s", access_name(check->access),
                         printable(topic, shown_topic), printable(user, shown));
    return MOSQ_ERR_ACL_DENIED;
}

/* ---------------------------------------------------------------------------------------- */
/* Plugin entry points                                                                        */

int mosquitto_plugin_version(int supported_version_count, const int *supported_versions) {
    for (int i = 0; i < supported_version_count; ++i) {
        if (supported_versions[i] == MOSQ_PLUGIN_VERSION) return MOSQ_PLUGIN_VERSION;
    }
    return -1;
}

static void plugin_free(struct plugin *plugin) {
    credentials_free(&plugin->credentials);
    mosquitto_free(plugin->path);
    mosquitto_free(plugin);
}

int mosquitto_plugin_init(mosquitto_plugin_id_t *identifier, void **userdata, struct mosquitto_opt *options,
                          int option_count) {
    const char *path = NULL;
    for (int i = 0; i < option_count; ++i) {
        if (options[i].key != NULL && strcmp(options[i].key, "credentials_file") == 0) path = options[i].value;
    }
    if (path == NULL || path[0] == '\0') {
        mosquitto_log_printf(MOSQ_LOG_ERR, LOG_PREFIX "plugin_opt_credentials_file is not set");
        return MOSQ_ERR_INVAL;
    }
    struct plugin *plugin = mosquitto_calloc(1, sizeof *plugin);
    if (plugin == NULL || (plugin->path = mosquitto_strdup(path)) == NULL) {
        if (plugin != NULL) mosquitto_free(plugin);
        return MOSQ_ERR_NOMEM;
    }
    plugin->identifier = identifier;
    load_credentials(plugin); /* a failure is logged; clients are refused until it is read */

    int rc = mosquitto_callback_register(identifier, MOSQ_EVT_BASIC_AUTH, on_basic_auth, NULL, plugin);
    if (rc == MOSQ_ERR_SUCCESS) {
        rc = mosquitto_callback_register(identifier, MOSQ_EVT_ACL_CHECK, on_acl_check, NULL, plugin);
        if (rc != MOSQ_ERR_SUCCESS) mosquitto_callback_unregister(identifier, MOSQ_EVT_BASIC_AUTH, on_basic_auth, NULL);
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        mosquitto_log_printf(MOSQ_LOG_ERR, LOG_PREFIX "cannot register its callbacks (error %d)", rc);
        plugin_free(plugin);
        return rc;
    }
    *userdata = plugin;
    return MOSQ_ERR_SUCCESS;
}

int mosquitto_plugin_cleanup(void *userdata, struct mosquitto_opt *options, int option_count) {
    (void)options;
    (void)option_count;
    struct plugin *plugin = userdata;
    if (plugin == NULL) return MOSQ_ERR_SUCCESS;
    mosquitto_callback_unregister(plugin->identifier, MOSQ_EVT_BASIC_AUTH, on_basic_auth, NULL);
    mosquitto_callback_unregister(plugin->identifier, MOSQ_EVT_ACL_CHECK, on_acl_check, NULL);
    plugin_free(plugin);
    return MOSQ_ERR_SUCCESS;
}
