// The files the kit writes: under umask 000 each file it creates is the owner's alone (0600)
// and the directory it creates too (0700). (The temporary files of key stores and dumps are
// checked under umask 000 by the killed-writer loops, which catch them on disk.)
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <apr_hash.h>
#include <apr_strings.h>

#include <gravel/edge_base.h>
#include <gravel/edge_cipher.h>
#include <gravel/edge_property.h>

#include "cipher_test_util.hpp"

using cipher_test::bytes;
using cipher_test::len32;
using gravel::test::file_mode;
using gravel::test::read_file;
using gravel::test::write_file;

namespace {

namespace fs = std::filesystem;

class KitFiles : public cipher_test::CipherRuntime {
protected:
    // Restarts the base runtime with a log configuration whose rules are `rules`.
    void restart_with_log_rules(const std::string &rules) {
        stop_runtime();
        write_file(work_.file("conf/sdk_log.conf"), "[formats]\nplain = \"%V %m%n\"\n[rules]\n" + rules);
        start_runtime("kit-files");
    }
    // Back to the configuration that captures the log in work_.log_path().
    void restore_log() {
        if (read_file(work_.file("conf/sdk_log.conf")) == gravel::test::capture_log_conf(work_.log_path())) return;
        stop_runtime();
        write_file(work_.file("conf/sdk_log.conf"), gravel::test::capture_log_conf(work_.log_path()));
        start_runtime("kit-files");
    }
    std::string rule(const std::string &path, const std::string &rotation = "") const {
        return "sdk_rule.DEBUG \"" + path + "\"" + (rotation.empty() ? "" : ", " + rotation) + "; plain\n";
    }
    uint32_t save_enduring_key() {
        const std::string key(16, 'e');
        return edge_cipher_save_key("enduring", bytes(key), len32(key), 1);
    }
    uint32_t dump(const std::string &path) {
        apr_hash_t *table = apr_hash_make(pool_);
        apr_hash_set(table, "a", APR_HASH_KEY_STRING, "1");
        return edge_property_dump(path.c_str(), table, pool_);
    }
    // Logs `count` lines of about 70 bytes: a log rotated at a few hundred bytes rotates a few times.
    static void log_lines(int count) {
        for (int i = 0; i < count; ++i) EDGE_LOG_INFO("line %02d of the files test ........................", i);
    }
    void reset() {
        edge_cipher_destroy();
        std::error_code ec;
        fs::remove(secret(), ec);  // a link goes, not what it points to
        fs::remove_all(secret(), ec);
        restore_log();
    }
};

TEST_F(KitFiles, AreTheOwnersAloneUnderUmask000) {
    gravel::test::ScopedUmask open_umask(0);
    const std::string rotated = work_.file("log/rotated.log");
    struct Case {
        const char *what;
        std::function<uint32_t()> act;
        std::vector<std::pair<std::string, unsigned>> modes;
    };
    const Case cases[] = {
        {"first start: the key directory, the root key material, the primary key store",
         [&] { return edge_cipher_init(); },
         {{secret(), 0700}, {material_file(), 0600}, {primary_file(), 0600}}},
        {"an enduring domain key: the domain key store",
         [&] {
             const uint32_t rc = edge_cipher_init();
             return rc != EDGE_OK ? rc : save_enduring_key();
         },
         {{domain_file(), 0600}}},
        {"a property dump",
         [&] { return dump(work_.file("table.properties")); },
         {{work_.file("table.properties"), 0600}}},
        {"a log file and its archives",
         [&] {
             restart_with_log_rules(rule(rotated, "300 * 2"));
             log_lines(20);
             return EDGE_OK;
         },
         {{rotated, 0600}, {rotated + ".0", 0600}, {rotated + ".1", 0600}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.act(), EDGE_OK);
        for (const auto &[path, mode] : c.modes) {
            ASSERT_TRUE(gravel::test::exists(path)) << path;
            EXPECT_EQ(file_mode(path), mode) << path;
        }
        reset();
    }
}

}  // namespace
