// The files the kit writes: under umask 000 each file it creates is the owner's alone (0600)
// and the directory it creates too (0700); and a symbolic link planted where the kit writes
// (the file's name, the name pattern of its temporary files, the directory it creates, a log
// file) is never written through: the call fails with a status and an ERROR line, or replaces
// the link itself, and the file the link points to stays as it was. (The temporary files of
// key stores and dumps are checked under umask 000 by the killed-writer loops, which catch them
// on disk.)
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
using gravel::test::cat;
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

// What becomes of a link planted where the kit writes.
enum class Link {
    refused,   // the call fails; the link stays
    replaced,  // a file of the kit's own (0600) takes the link's place
    swept,     // a stale temporary's name: the link is removed
};

TEST_F(KitFiles, NoLinkIsFollowedWhereTheKitWrites) {
    gravel::test::ScopedUmask open_umask(0);
    gravel::test::TempDir outside;
    const std::string target = outside.file("file");    // the file a link points to
    const std::string absent = outside.file("absent");  // the name a dangling link points to
    const std::string dump_path = work_.file("table.properties");
    const std::string kit_log_name = work_.file("log/linked.log");
    const std::string log_conf = work_.file("conf/sdk_log.conf");

    struct Case {
        const char *what;
        std::string link;  // where the link is planted
        bool dangling;     // pointing to `absent`, else to `target`
        std::function<void()> before;
        std::function<uint32_t()> act;
        uint32_t status;
        std::string line;  // in the kit's log or, from its log engine, on stderr
        Link after;
    };
    const auto nothing = [] {};
    const auto started_cipher = [&] { ASSERT_EQ(edge_cipher_init(), EDGE_OK); };
    const auto init = [] { return edge_cipher_init(); };
    const std::string dir_refused = cat("ERROR secret dir is a link or not a directory, path:", secret());
    const auto init_base_logging_to = [&](const std::string &log) {
        return [&, log] {
            stop_runtime();
            write_file(log_conf, gravel::test::capture_log_conf(log));
            const uint32_t rc = edge_base_init(work_.path().c_str(), "kit-files");
            edge_base_destroy();
            return rc;
        };
    };
    const Case cases[] = {
        {"the key directory, to a file", secret(), false, nothing, init, EDGE_ERR_FILE_WRITE, dir_refused,
         Link::refused},
        {"the key directory, dangling", secret(), true, nothing, init, EDGE_ERR_FILE_WRITE, dir_refused, Link::refused},
        {"the root key material, dangling", material_file(), true, [&] { gravel::test::make_dirs(secret()); }, init,
         EDGE_OK, "INFO rootkey not found, generate rootkey file.", Link::replaced},
        {"the primary key store, dangling", primary_file(), true,
         [&] {
             started_cipher();
             edge_cipher_destroy();
             fs::remove(primary_file());
         },
         init, EDGE_OK, "INFO keystore not found, generate keystore file.", Link::replaced},
        {"the domain key store", domain_file(), false, started_cipher, [&] { return save_enduring_key(); }, EDGE_OK,
         cat("INFO save keystore to ", domain_file(), " finished, ret:0"), Link::replaced},
        {"a temporary name of the domain key store", domain_file() + ".tmp.AbC123", false, started_cipher,
         [&] { return save_enduring_key(); }, EDGE_OK, cat("INFO save keystore to ", domain_file(), " finished, ret:0"),
         Link::swept},
        {"a property dump", dump_path, false, nothing, [&] { return dump(dump_path); }, EDGE_OK, "", Link::replaced},
        {"a temporary name of a property dump", dump_path + ".tmp.xyz789", false, nothing,
         [&] { return dump(dump_path); }, EDGE_OK, "", Link::swept},
        {"a log file", kit_log_name, false, nothing, init_base_logging_to(kit_log_name), UINT32_MAX,
         "cannot open log file '" + kit_log_name + "': Too many levels of symbolic links", Link::refused},
        {"a log file, dangling", kit_log_name, true, nothing, init_base_logging_to(kit_log_name), UINT32_MAX,
         "cannot open log file '" + kit_log_name + "': Too many levels of symbolic links", Link::refused},
        {"a log file named per message", work_.file("log/msg-INFO.log"), false, nothing,
         [&] {
             restart_with_log_rules(rule(work_.file("log/msg-%V.log")));
             EDGE_LOG_INFO("a message for the file named after its level");
             return EDGE_OK;
         },
         EDGE_OK, "", Link::refused},
        {"a log archive", work_.file("log/rotated.log.0"), false,
         [&] { restart_with_log_rules(rule(work_.file("log/rotated.log"), "300 * 1")); },
         [&] {
             log_lines(8);
             return EDGE_OK;
         },
         EDGE_OK, "", Link::replaced},
        {"a file written whole", work_.file("written"), false, nothing,
         [&] { return edge_base_file_write(work_.file("written").c_str(), bytes("data"), 4, pool_); }, ELOOP,
         cat("ERROR file is a symbolic link, not written, path:", work_.file("written")), Link::refused},
        {"a file written whole, dangling", work_.file("written"), true, nothing,
         [&] { return edge_base_file_write(work_.file("written").c_str(), bytes("data"), 4, pool_); }, ELOOP,
         cat("ERROR file is a symbolic link, not written, path:", work_.file("written")), Link::refused},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        write_file(target, "outside\n");
        ASSERT_EQ(::chmod(target.c_str(), 0644), 0);
        c.before();
        ASSERT_EQ(::symlink((c.dangling ? absent : target).c_str(), c.link.c_str()), 0) << c.link;
        const size_t logged_before = c.line.empty() ? 0 : work_.count_logged(c.line);
        gravel::test::FdCapture err(STDERR_FILENO, outside.file("stderr.txt"));
        const uint32_t status = c.act();
        const std::string diagnostics = err.finish();
        EXPECT_EQ(status, c.status);
        if (!c.line.empty()) {
            EXPECT_TRUE(work_.count_logged(c.line) > logged_before || diagnostics.find(c.line) != std::string::npos)
                << c.line << "\nstderr: " << diagnostics;
        }

        EXPECT_EQ(read_file(target), "outside\n");
        EXPECT_EQ(file_mode(target), 0644u);
        EXPECT_FALSE(gravel::test::exists(absent));
        const fs::file_status st = fs::symlink_status(c.link);
        switch (c.after) {
            case Link::refused:
                EXPECT_TRUE(fs::is_symlink(st));
                break;
            case Link::replaced:
                EXPECT_TRUE(fs::is_regular_file(st));
                if (fs::is_regular_file(st)) {
                    EXPECT_EQ(file_mode(c.link), 0600u);
                }
                break;
            case Link::swept:
                EXPECT_FALSE(fs::exists(st));
                break;
        }

        std::error_code ec;
        fs::remove(c.link, ec);
        fs::remove(outside.file("stderr.txt"), ec);
        fs::remove(absent, ec);
        if (c.status == UINT32_MAX) {
            write_file(log_conf, gravel::test::capture_log_conf(work_.log_path()));
            start_runtime("kit-files");
        }
        reset();
    }
}

}  // namespace
