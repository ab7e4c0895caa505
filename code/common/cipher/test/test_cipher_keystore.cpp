// The key hierarchy on disk: first start, restarts, the configuration directory, the verify
// code, damaged files, and key stores that survive a writer killed at any moment.
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include <apr_strings.h>

#include "cipher_test_util.hpp"

using namespace cipher_test;
using gravel::test::file_mode;
using gravel::test::list_dir;
using gravel::test::read_file;
using gravel::test::ScopedEnv;
using gravel::test::write_file;
using Names = std::vector<std::string>;

namespace {

const Names kKeyFiles = {"449dda627abb9726", "4e8a86a7502404a0", "primary.ks"};
const Names kFirstStartFiles = {"449dda627abb9726", "primary.ks"};

// The root key rebuilt without the kit: masks and material XORed into UCS-2 units, turned into
// UTF-8 by iconv, cut at the first zero byte, and stretched by the openssl tool's PBKDF2.
std::string independent_root_key(const std::string &material) {
    const std::string mask1 = from_hex(GRAVEL_ROOT_KEY_MASK1);
    const std::string mask2 = from_hex(GRAVEL_ROOT_KEY_MASK2);
    const std::string salt = from_hex(GRAVEL_ROOT_KEY_SALT);
    std::vector<uint16_t> units;
    for (size_t i = 0; i < 16; ++i) {
        units.push_back(static_cast<uint16_t>(static_cast<unsigned char>(mask1[i] ^ mask2[i] ^ material[i])));
    }
    gravel::test::TempDir dir;
    write_file(dir.file("units"), std::string(reinterpret_cast<const char *>(units.data()), units.size() * 2));
    std::string password = run_ok("iconv -f UCS-2 -t UTF-8 " + gravel::test::shell_quote(dir.file("units")));
    password = password.substr(0, password.find('\0'));
    return openssl_pbkdf2(password, salt, 1000, 16);
}

// A key store value opened with the openssl tool.
std::string tool_decrypt_value(const std::string &value, const std::string &key) {
    const std::string record = from_hex(value);
    return openssl_aes(false, key, record.substr(0, 16), record.substr(16));
}

// A map of key records in a pool, as the save and load functions take them.
apr_hash_t *key_map(apr_pool_t *pool, const std::vector<std::pair<std::string, std::string>> &keys,
                    uint32_t enduring = 1) {
    apr_hash_t *map = apr_hash_make(pool);
    for (const auto &[name, key] : keys) {
        auto *record = static_cast<edge_cipher_key_t *>(apr_pcalloc(pool, sizeof(edge_cipher_key_t)));
        record->key = reinterpret_cast<unsigned char *>(apr_pmemdup(pool, key.data(), key.size()));
        record->len = len32(key);
        record->enduring = enduring;
        apr_hash_set(map, apr_pstrdup(pool, name.c_str()), APR_HASH_KEY_STRING, record);
    }
    return map;
}

std::map<std::string, std::string> map_contents(apr_hash_t *map) {
    std::map<std::string, std::string> out;
    for (apr_hash_index_t *it = apr_hash_first(nullptr, map); it != nullptr; it = apr_hash_next(it)) {
        const void *name = nullptr;
        void *value = nullptr;
        apr_hash_this(it, &name, nullptr, &value);
        const auto *record = static_cast<const edge_cipher_key_t *>(value);
        out[static_cast<const char *>(name)] = std::string(reinterpret_cast<const char *>(record->key), record->len);
    }
    return out;
}

}  // namespace

TEST_F(CipherRuntime, FirstStartCreatesTheKeyFilesOwnerOnly) {
    gravel::test::ScopedUmask open_umask(0);
    ASSERT_EQ(edge_cipher_init(), EDGE_OK);
    EXPECT_EQ(file_mode(secret()), 0700u);
    EXPECT_EQ(list_dir(secret()), kFirstStartFiles);
    EXPECT_EQ(read_file(material_file()).size(), 16u);
    EXPECT_EQ(file_mode(material_file()), 0600u);
    EXPECT_EQ(file_mode(primary_file()), 0600u);
    const auto primary = read_pairs(primary_file());
    ASSERT_EQ(primary.size(), 1u);
    ASSERT_EQ(primary.count("0"), 1u);
    EXPECT_EQ(primary.at("0").size(), 96u);
    EXPECT_EQ(read_file(primary_file()), "0=" + primary.at("0") + "\n");
    EXPECT_EQ(apr_hash_count(edge_CIPHER_MGR_mgr_get()->domain_keys), 0u);
    for (const char *line : {"INFO cipher init success.", "INFO rootkey not found, generate rootkey file.",
                             "INFO keystore not found, generate keystore file."}) {
        EXPECT_TRUE(work_.logged(line)) << line;
    }
}

// An existing secret/ is checked before anything is read from it or written to it: one of this
// user's is tightened to owner-only and used; a symbolic link (wherever it points), something
// that is not a directory, or another user's directory is refused with 20011 and an ERROR line,
// and nothing is written through it. (The tests run as root, so "another user" is a uid that no
// account has.)
TEST_F(CipherRuntime, TheSecretDirectoryMustBeThisUsersAlone) {
    uid_t stranger = 54321;
    while (getpwuid(stranger) != nullptr && stranger < 54421) ++stranger;
    ASSERT_EQ(getpwuid(stranger), nullptr) << "no unused uid near 54321";
    gravel::test::TempDir elsewhere;
    const std::string linked = elsewhere.file("secret");
    const std::string old_material = pseudo_random_bytes(16, 31);
    auto make_secret = [&](mode_t mode) {
        gravel::test::make_dirs(secret());
        ASSERT_EQ(chmod(secret().c_str(), mode), 0);
    };
    struct Case {
        const char *what;
        std::function<void()> arrange;
        uint32_t status;
        std::string log;
    };
    std::vector<Case> cases = {
        {"missing", [] {}, EDGE_OK, ""},
        {"owner-only", [&] { make_secret(0700); }, EDGE_OK, ""},
        {"open to everyone", [&] { make_secret(0777); }, EDGE_OK, ""},
        {"readable by the group", [&] { make_secret(0750); }, EDGE_OK, ""},
        {"with the sticky bit", [&] { make_secret(01700); }, EDGE_OK, ""},
        {"a link to an empty directory",
         [&] {
             gravel::test::make_dirs(linked);
             ASSERT_EQ(symlink(linked.c_str(), secret().c_str()), 0);
         },
         EDGE_ERR_FILE_WRITE, "ERROR secret dir is a link or not a directory, path:" + secret()},
        {"a link to a directory with material",
         [&] {
             gravel::test::make_dirs(linked);
             write_file(linked + "/449dda627abb9726", old_material);
             ASSERT_EQ(symlink(linked.c_str(), secret().c_str()), 0);
         },
         EDGE_ERR_FILE_WRITE, "ERROR secret dir is a link or not a directory, path:" + secret()},
        {"a file", [&] { write_file(secret(), "not a directory"); }, EDGE_ERR_FILE_WRITE,
         "ERROR secret dir is a link or not a directory, path:" + secret()},
    };
    // Only root can hand a directory to another user.
    if (geteuid() == 0) {
        cases.push_back(
            {"another user's",
             [&] {
                 make_secret(0700);
                 ASSERT_EQ(chown(secret().c_str(), stranger, stranger), 0);
             },
             EDGE_ERR_FILE_WRITE,
             "ERROR secret dir belongs to another user, uid:" + std::to_string(stranger) + ", path:" + secret()});
    }
    for (const Case &c : cases) {
        std::error_code ec;
        std::filesystem::remove(secret(), ec);  // a link goes, not what it points to
        std::filesystem::remove_all(secret(), ec);
        std::filesystem::remove_all(linked, ec);
        c.arrange();
        const bool was_link = std::filesystem::is_symlink(secret());
        const Names linked_before = list_dir(linked);

        EXPECT_EQ(edge_cipher_init(), c.status) << c.what;
        if (c.status == EDGE_OK) {
            EXPECT_EQ(file_mode(secret()), 0700u) << c.what;
            EXPECT_EQ(list_dir(secret()), kFirstStartFiles) << c.what;
        } else {
            EXPECT_TRUE(work_.logged(c.log)) << c.what;
            EXPECT_EQ(std::filesystem::is_symlink(secret()), was_link) << c.what;
            EXPECT_EQ(list_dir(linked), linked_before) << c.what;
            if (gravel::test::exists(linked + "/449dda627abb9726")) {
                EXPECT_EQ(read_file(linked + "/449dda627abb9726"), old_material) << c.what;
            }
            if (std::filesystem::is_directory(secret()) && !was_link) {
                EXPECT_EQ(list_dir(secret()), Names{}) << c.what;
                struct stat st {};
                ASSERT_EQ(stat(secret().c_str(), &st), 0);
                EXPECT_EQ(st.st_uid, stranger) << c.what;
            }
            EXPECT_EQ(edge_cipher_choose_work_key(edge_CIPHER_MGR_mgr_get(), 0), nullptr) << c.what;
        }
        edge_cipher_destroy();
    }
}

TEST_F(CipherRunning, KeyHierarchyOpensWithTheOpensslTool) {
    const edge_cipher_mgr_t *mgr = edge_CIPHER_MGR_mgr_get();
    const std::string root = independent_root_key(read_file(material_file()));
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(mgr->root_key), 16), root);
    EXPECT_EQ(mgr->root_key[16], 0);

    // The work key is entry "0" of the primary key store under the root key ...
    const std::string work = tool_decrypt_value(read_pairs(primary_file()).at("0"), root);
    EXPECT_EQ(work, work_key());

    // ... and enduring domain keys are entries of the domain key store under the work key.
    const std::string secret_key = gravel::test::cat("s", pseudo_random_bytes(19, 5));
    ASSERT_EQ(edge_cipher_save_key("secret", bytes(secret_key), len32(secret_key), 1), EDGE_OK);
    const auto stored = read_pairs(domain_file());
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored.at("secret").size(), edge_cipher_calc_encrypt_len(20));
    EXPECT_EQ(tool_decrypt_value(stored.at("secret"), work), secret_key);
}

TEST_F(CipherRunning, RestartBringsBackTheSameKeysAndOnlyEnduringOnes) {
    const std::string secret_key = gravel::test::cat("s", pseudo_random_bytes(19, 1));
    const std::string crypt = pseudo_random_bytes(16, 2);
    const std::string temp = pseudo_random_bytes(16, 3);
    ASSERT_EQ(edge_cipher_save_key("secret", bytes(secret_key), 20, 1), EDGE_OK);
    ASSERT_EQ(edge_cipher_save_key("crypt_key", bytes(crypt), 16, 1), EDGE_OK);
    ASSERT_EQ(edge_cipher_save_key("configs", bytes(temp), 16, 0), EDGE_OK);
    const std::string work = work_key();
    const std::string root(reinterpret_cast<const char *>(edge_CIPHER_MGR_mgr_get()->root_key), 16);

    // A whole process restart: the base runtime too.
    edge_cipher_destroy();
    edge_base_memory_pool_destroy(&pool_);
    edge_base_destroy();
    ASSERT_EQ(edge_base_init(work_.path().c_str(), "again"), EDGE_OK);
    pool_ = edge_BASE_MGR_mgr_create_pool();
    ASSERT_EQ(edge_cipher_init(), EDGE_OK);

    EXPECT_EQ(std::string(reinterpret_cast<const char *>(edge_CIPHER_MGR_mgr_get()->root_key), 16), root);
    EXPECT_EQ(work_key(), work);
    EXPECT_EQ(domain_key("secret"), secret_key);
    EXPECT_EQ(domain_key("crypt_key"), crypt);
    EXPECT_EQ(edge_cipher_get_domain("secret")->enduring, 1u);
    EXPECT_EQ(edge_cipher_has_domain("configs"), 0);
    EXPECT_EQ(list_dir(secret()), kKeyFiles);
    EXPECT_NE(work_.log().find("INFO load domain key, name:secret, lens:20, pointer:"), std::string::npos);
}

TEST_F(CipherRunning, SecondStartWithoutDomainKeysLogsTheMissingStore) {
    ASSERT_EQ(restart_cipher(), EDGE_OK);
    EXPECT_TRUE(work_.logged("ERROR keystore file not found, file_name:" + domain_file()));
    EXPECT_EQ(apr_hash_count(edge_CIPHER_MGR_mgr_get()->domain_keys), 0u);
    EXPECT_EQ(work_.count_logged("INFO rootkey not found, generate rootkey file."), 1u);
}

TEST_F(CipherRuntime, ConfigurationDirectoryFromTheEnvironment) {
    gravel::test::TempDir cfg;
    {
        ScopedEnv env("module_cfg_dir", cfg.path());
        ASSERT_EQ(edge_cipher_init(), EDGE_OK);
        EXPECT_EQ(list_dir(cfg.file("secret")), kFirstStartFiles);
        EXPECT_FALSE(gravel::test::exists(secret()));
        EXPECT_EQ(std::string(edge_CIPHER_MGR_mgr_get()->primary_keystore_file), cfg.file("secret/primary.ks"));
        edge_cipher_destroy();
    }
    ScopedEnv empty("module_cfg_dir", std::string());
    ASSERT_EQ(edge_cipher_init(), EDGE_OK);
    EXPECT_EQ(list_dir(secret()), kFirstStartFiles);  // empty means unset: the work dir
}

TEST_F(CipherRunning, VerifyCodeChangeDropsTheStoredKeys) {
    const std::string code = "abc123";
    const std::string secret_key = pseudo_random_bytes(16, 9);
    ASSERT_EQ(edge_cipher_save_key("verify_code", bytes(code), len32(code), 1), EDGE_OK);
    ASSERT_EQ(edge_cipher_save_key("secret", bytes(secret_key), 16, 1), EDGE_OK);
    const std::string store = read_file(domain_file());

    struct Case {
        std::optional<std::string> env;
        bool dropped;
    };
    const Case cases[] = {
        {std::nullopt, false}, {std::string(), false}, {code, false},
        {code + "xyz", false},  // begins with the stored one
        {"abd", true},         {"ab", true},           {"ABC123", true},
    };
    for (const Case &c : cases) {
        write_file(domain_file(), store);
        ScopedEnv env("verify_code", c.env);
        ASSERT_EQ(restart_cipher(), EDGE_OK);
        const std::string label = c.env ? "'" + *c.env + "'" : "unset";
        EXPECT_EQ(gravel::test::exists(domain_file()), !c.dropped) << label;
        EXPECT_EQ(edge_cipher_has_domain("secret"), c.dropped ? 0 : 1) << label;
        EXPECT_EQ(apr_hash_count(edge_CIPHER_MGR_mgr_get()->domain_keys), c.dropped ? 0u : 2u) << label;
    }
    EXPECT_EQ(work_.count_logged("WARN the auth file is invalid, delete old auth file."), 3u);
    // The codes never reach the log.
    EXPECT_EQ(work_.log().find(code), std::string::npos);
}

TEST(CipherVerifyCheck, ComparesOnlyWhatIsThere) {
    std::string stored = "abc";
    edge_cipher_key_t record{reinterpret_cast<unsigned char *>(stored.data()), 3, 1};
    std::string zero_first("\0bc", 3);
    edge_cipher_key_t empty{reinterpret_cast<unsigned char *>(zero_first.data()), 3, 1};
    edge_cipher_key_t no_bytes{nullptr, 3, 1};
    struct Case {
        const edge_cipher_key_t *record;
        const char *code;
        int want;
    };
    const Case cases[] = {
        {&record, "abc", 0},   {&record, "abcd", 0}, {&record, "abd", 1}, {&record, "ab", 1},  {&record, "", 0},
        {&record, nullptr, 0}, {nullptr, "abc", 0},  {&empty, "xyz", 0},  {&no_bytes, "x", 0},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(edge_cipher_verify_domain_key_check(c.record, c.code), c.want) << (c.code ? c.code : "(null)");
    }
}

TEST_F(CipherRunning, DeletedPrimaryStoreMeansANewWorkKey) {
    ASSERT_EQ(edge_cipher_save_key("secret", bytes(std::string(16, 's')), 16, 1), EDGE_OK);
    const std::string work = work_key();
    ASSERT_EQ(std::remove(primary_file().c_str()), 0);
    ASSERT_EQ(restart_cipher(), EDGE_OK);
    EXPECT_NE(work_key(), work);
    EXPECT_EQ(work_key().size(), 16u);
    EXPECT_EQ(edge_cipher_has_domain("secret"), 0);
    EXPECT_EQ(work_.count_logged("INFO keystore not found, generate keystore file."), 2u);
}

TEST_F(CipherRunning, DamagedDomainStoreEntriesCostOnlyThemselves) {
    const std::string work = work_key();
    ASSERT_EQ(edge_cipher_save_key("alpha", bytes(std::string(16, 'a')), 16, 1), EDGE_OK);
    ASSERT_EQ(edge_cipher_save_key("beta", bytes(std::string(16, 'b')), 16, 1), EDGE_OK);
    ASSERT_EQ(edge_cipher_save_key("gamma", bytes(std::string(16, 'c')), 16, 1), EDGE_OK);
    const auto good = read_pairs(domain_file());
    const std::string beta = good.at("beta");

    // A value whose padding is certainly wrong under the work key, found with the tool.
    std::string wrong_key_value;
    for (unsigned seed = 1; seed < 100 && wrong_key_value.empty(); ++seed) {
        const std::string iv = pseudo_random_bytes(16, seed);
        const std::string ct = openssl_aes(true, pseudo_random_bytes(16, 1000 + seed), iv, std::string(16, 'b'));
        const std::string under_work = openssl_aes(false, work, iv, ct, true);
        if (static_cast<unsigned char>(under_work.back()) > 16) wrong_key_value = to_hex(iv + ct);
    }
    ASSERT_FALSE(wrong_key_value.empty());
    // 129 bytes: more than a stored key may hold.
    const std::string iv(16, '\x01');
    const std::string oversized = to_hex(iv + openssl_aes(true, work, iv, std::string(129, 'o')));

    struct Case {
        const char *what;
        std::string value;
    };
    const Case cases[] = {
        {"truncated", beta.substr(0, beta.size() - 10)},
        {"one block short", beta.substr(0, beta.size() - 32)},
        {"non-hex", gravel::test::cat("zz", beta.substr(2))},
        {"odd length", beta + "a"},
        {"an IV alone", beta.substr(0, 32)},
        {"oversized", oversized},
        {"wrong key", wrong_key_value},
    };
    for (const Case &c : cases) {
        write_file(domain_file(),
                   "alpha=" + good.at("alpha") + "\nbeta=" + c.value + "\ngamma=" + good.at("gamma") + "\n");
        ASSERT_EQ(restart_cipher(), EDGE_OK) << c.what;
        EXPECT_EQ(domain_key("alpha"), std::string(16, 'a')) << c.what;
        EXPECT_EQ(domain_key("gamma"), std::string(16, 'c')) << c.what;
        EXPECT_EQ(domain_key("beta"), "<none>") << c.what;

        apr_hash_t *fresh = apr_hash_make(pool_);
        edge_cipher_mgr_t *mgr = edge_CIPHER_MGR_mgr_get();
        EXPECT_EQ(edge_cipher_load_keystore_from_file(pool_, fresh, domain_file().c_str(), mgr, 0),
                  EDGE_ERR_UNDECRYPTABLE)
            << c.what;
        EXPECT_EQ(map_contents(fresh).size(), 2u) << c.what;
        EXPECT_TRUE(work_.log().find("ERROR decrypt keystore failed, ret:") != std::string::npos);
    }
    EXPECT_TRUE(work_.logged("ERROR decrypt keystore failed, ret:20018, len:" + std::to_string(beta.size() - 10) +
                             ", use_root_key:0"));
}

TEST_F(CipherRunning, UnreadableKeyStoreFiles) {
    edge_cipher_mgr_t *mgr = edge_CIPHER_MGR_mgr_get();
    struct Case {
        const char *what;
        std::optional<std::string> content;
        uint32_t status;
        const char *log;
    };
    const Case cases[] = {
        {"missing", std::nullopt, EDGE_ERR_FILE_MISSING, nullptr},
        {"empty", "", EDGE_ERR_KEYSTORE_READ, "ERROR read keystore file error."},
        {"comments only", "# nothing\n\n", EDGE_ERR_KEYSTORE_READ, "ERROR read keystore file error."},
        {"empty values", "alpha=\nbeta:\n", EDGE_ERR_KEYSTORE_READ, "ERROR read keystore file error."},
    };
    const std::string path = secret("store");
    for (const Case &c : cases) {
        std::remove(path.c_str());
        if (c.content) write_file(path, *c.content);
        apr_hash_t *map = apr_hash_make(pool_);
        EXPECT_EQ(edge_cipher_load_keystore_from_file(pool_, map, path.c_str(), mgr, 0), c.status) << c.what;
        EXPECT_EQ(apr_hash_count(map), 0u) << c.what;
        if (c.log != nullptr) {
            EXPECT_TRUE(work_.logged(c.log)) << c.what;
        }
    }
    EXPECT_TRUE(work_.logged("ERROR keystore file not found, file_name:" + path));
    apr_hash_t *map = apr_hash_make(pool_);
    EXPECT_EQ(edge_cipher_load_keystore_from_file_param_check(nullptr, map, path.c_str(), mgr), EDGE_ERR_MISSING);
    EXPECT_EQ(edge_cipher_load_keystore_from_file_param_check(pool_, nullptr, path.c_str(), mgr), EDGE_ERR_MISSING);
    EXPECT_EQ(edge_cipher_load_keystore_from_file_param_check(pool_, map, path.c_str(), nullptr), EDGE_ERR_MISSING);
    EXPECT_EQ(edge_cipher_load_keystore_from_file_param_check(pool_, map, path.c_str(), mgr), EDGE_OK);
}

TEST_F(CipherRunning, PrimaryStoreUnderAnotherRootKeyLeavesNoWorkKey) {
    ASSERT_EQ(edge_cipher_save_key("secret", bytes(std::string(16, 's')), 16, 1), EDGE_OK);
    // Another module's material: the primary store no longer opens, and nothing is rewritten.
    write_file(material_file(), pseudo_random_bytes(16, 77));
    const std::string primary = read_file(primary_file());
    ASSERT_EQ(restart_cipher(), EDGE_OK);
    EXPECT_EQ(work_key(), "<none>");
    EXPECT_EQ(edge_cipher_has_domain("secret"), 0);
    EXPECT_EQ(read_file(primary_file()), primary);
    EXPECT_EQ(edge_cipher_save_key("later", bytes(std::string(16, 'l')), 16, 1), EDGE_ERR_MISSING);
}

TEST_F(CipherRuntime, MaterialFileOfTheWrongSizeStopsInit) {
    struct Case {
        std::string material;
        uint32_t status;
    };
    const Case cases[] = {
        {std::string(15, 'm'), EDGE_ERR_KEYSTORE_READ},
        {std::string(17, 'm'), EDGE_ERR_KEYSTORE_READ},
        {"", 70014},  // APR_EOF: nothing to read
    };
    gravel::test::make_dirs(secret());
    for (const Case &c : cases) {
        write_file(material_file(), c.material);
        EXPECT_EQ(edge_cipher_init(), c.status) << c.material.size();
        EXPECT_EQ(read_file(material_file()), c.material);  // never replaced
        EXPECT_FALSE(gravel::test::exists(primary_file()));
        EXPECT_TRUE(work_.logged("INFO read rootkey file error, ret:" + std::to_string(c.status)));
        edge_cipher_destroy();
    }
}

TEST_F(CipherRunning, KeysThatCouldNotComeBackAreRefused) {
    struct Case {
        std::string name;
        std::string key;
        uint32_t enduring;
        uint32_t status;
    };
    const Case cases[] = {
        {"big", std::string(129, 'k'), 1, EDGE_ERR_BAD_ARGUMENT},
        {std::string(33, 'n'), std::string(16, 'k'), 1, EDGE_ERR_BAD_ARGUMENT},
        {"a=b", std::string(16, 'k'), 1, EDGE_ERR_BAD_ARGUMENT},
        {"a:b", std::string(16, 'k'), 1, EDGE_ERR_BAD_ARGUMENT},
        {"a b", std::string(16, 'k'), 1, EDGE_ERR_BAD_ARGUMENT},
        {"line\nfeed", std::string(16, 'k'), 1, EDGE_ERR_BAD_ARGUMENT},
        {"#comment", std::string(16, 'k'), 1, EDGE_ERR_BAD_ARGUMENT},
        {"max", std::string(128, 'k'), 1, EDGE_OK},
        {std::string(32, 'n'), std::string(16, 'k'), 1, EDGE_OK},
        {"big in memory", std::string(200, 'k'), 0, EDGE_OK},  // never written, so allowed
    };
    for (const Case &c : cases) {
        EXPECT_EQ(edge_cipher_save_key(c.name.c_str(), bytes(c.key), len32(c.key), c.enduring), c.status) << c.name;
        EXPECT_EQ(edge_cipher_has_domain(c.name.c_str()), c.status == EDGE_OK ? 1 : 0) << c.name;
    }
    ASSERT_EQ(restart_cipher(), EDGE_OK);
    EXPECT_EQ(domain_key("max"), std::string(128, 'k'));
    EXPECT_EQ(domain_key(std::string(32, 'n').c_str()), std::string(16, 'k'));
    EXPECT_EQ(apr_hash_count(edge_CIPHER_MGR_mgr_get()->domain_keys), 2u);
}

TEST_F(CipherRunning, SavingMapsWithoutEnduringEntries) {
    edge_cipher_mgr_t *mgr = edge_CIPHER_MGR_mgr_get();
    const std::string path = secret("store");
    EXPECT_EQ(edge_cipher_save_keystore_to_file(pool_, apr_hash_make(pool_), path.c_str(), mgr, 0), EDGE_OK);
    EXPECT_TRUE(work_.logged("WARN no key store in key_map, skip."));
    EXPECT_EQ(edge_cipher_save_keystore_to_file(pool_, key_map(pool_, {{"a", std::string(16, 'a')}}, 0), path.c_str(),
                                                mgr, 0),
              EDGE_ERR_BAD_ARGUMENT);
    EXPECT_TRUE(work_.logged("ERROR no element in hash table."));
    EXPECT_FALSE(gravel::test::exists(path));
    // A map that holds a key the file could not give back is not written at all.
    write_file(path, "old=1\n");
    EXPECT_EQ(
        edge_cipher_save_keystore_to_file(
            pool_, key_map(pool_, {{"a", std::string(16, 'a')}, {"b", std::string(129, 'b')}}), path.c_str(), mgr, 0),
        EDGE_ERR_BAD_ARGUMENT);
    EXPECT_EQ(read_file(path), "old=1\n");
    // A file is read up to its 512th line: 512 keys come back, 513 are not written.
    std::vector<std::pair<std::string, std::string>> many;
    for (int i = 0; i < 513; ++i) many.emplace_back(gravel::test::cat("k", std::to_string(i)), std::string(16, 'm'));
    EXPECT_EQ(edge_cipher_save_keystore_to_file(pool_, key_map(pool_, many), path.c_str(), mgr, 0),
              EDGE_ERR_BAD_ARGUMENT);
    EXPECT_EQ(read_file(path), "old=1\n");
    many.pop_back();
    ASSERT_EQ(edge_cipher_save_keystore_to_file(pool_, key_map(pool_, many), path.c_str(), mgr, 0), EDGE_OK);
    apr_hash_t *back = apr_hash_make(pool_);
    EXPECT_EQ(edge_cipher_load_keystore_from_file(pool_, back, path.c_str(), mgr, 0), EDGE_OK);
    EXPECT_EQ(apr_hash_count(back), 512u);

    EXPECT_EQ(edge_cipher_save_keystore_to_file(nullptr, apr_hash_make(pool_), path.c_str(), mgr, 0), EDGE_ERR_MISSING);
    EXPECT_EQ(edge_cipher_save_keystore_to_file(pool_, apr_hash_make(pool_), "", mgr, 0), EDGE_ERR_MISSING);
}

// An enduring entry of length 0 has nothing to encrypt: the save fails as an encryption failure
// and writes nothing, whichever key protects the store.
TEST_F(CipherRunning, AnEmptyEnduringKeyFailsTheSaveAsItsEncryption) {
    ASSERT_EQ(edge_cipher_save_key("secret", bytes(std::string(16, 's')), 16, 1), EDGE_OK);
    edge_cipher_mgr_t *mgr = edge_CIPHER_MGR_mgr_get();
    struct Case {
        std::string path;
        uint32_t use_root_key;
    };
    const Case cases[] = {{domain_file(), 0}, {primary_file(), 1}};
    for (const Case &c : cases) {
        const std::string before = read_file(c.path);
        apr_hash_t *map = key_map(pool_, {{"good", std::string(16, 'g')}, {"empty", ""}});
        EXPECT_EQ(edge_cipher_save_keystore_to_file(pool_, map, c.path.c_str(), mgr, c.use_root_key),
                  EDGE_ERR_AES_ENCRYPT)
            << c.path;
        EXPECT_TRUE(
            work_.logged("ERROR encrypt keystore failed, ret:20001, use_root_key:" + std::to_string(c.use_root_key)))
            << c.path;
        EXPECT_EQ(read_file(c.path), before) << c.path;
    }
    EXPECT_EQ(work_.log().find("cannot be stored"), std::string::npos);
    ASSERT_EQ(restart_cipher(), EDGE_OK);
    EXPECT_EQ(domain_key("secret"), std::string(16, 's'));
}

TEST_F(CipherRunning, ChooseWorkKey) {
    edge_cipher_mgr_t *mgr = edge_CIPHER_MGR_mgr_get();
    EXPECT_EQ(edge_cipher_choose_work_key(mgr, 1), mgr->root_key);
    EXPECT_EQ(work_key().size(), 16u);
    EXPECT_EQ(edge_cipher_choose_work_key(nullptr, 0), nullptr);
    // A work key entry that is not 16 bytes is as good as none.
    apr_hash_t *shorter = key_map(pool_, {{"0", "short"}});
    apr_hash_set(mgr->work_keys, "0", APR_HASH_KEY_STRING, apr_hash_get(shorter, "0", APR_HASH_KEY_STRING));
    EXPECT_EQ(edge_cipher_choose_work_key(mgr, 0), nullptr);
}

// A child saves versions of eight enduring keys in a loop and is killed at a random moment;
// the store must then hold one whole version, never a mix or a torn file, and the next save
// leaves no temporary file behind.
TEST_F(CipherRunning, KilledSaverLeavesTheOldOrTheNewStore) {
    constexpr int kKills = 200;
    constexpr int kKeys = 8;
    edge_cipher_mgr_t *mgr = edge_CIPHER_MGR_mgr_get();
    const std::string path = domain_file();
    auto version_keys = [](unsigned version) {
        std::vector<std::pair<std::string, std::string>> keys;
        for (int i = 0; i < kKeys; ++i) {
            char value[40];
            std::snprintf(value, sizeof value, "key%02d-version%010u", i, version);
            keys.emplace_back(gravel::test::cat("k", std::to_string(i)), value);
        }
        return keys;
    };
    auto save_version = [&](unsigned version) {
        apr_pool_t *scratch = edge_CIPHER_MGR_mgr_create_pool();
        const uint32_t rc =
            edge_cipher_save_keystore_to_file(scratch, key_map(scratch, version_keys(version)), path.c_str(), mgr, 0);
        edge_base_memory_pool_destroy(&scratch);
        return rc;
    };
    // The version the store holds, or -1 when it is not exactly one whole version.
    auto stored_version = [&]() -> long {
        apr_pool_t *scratch = edge_CIPHER_MGR_mgr_create_pool();
        apr_hash_t *map = apr_hash_make(scratch);
        const uint32_t rc = edge_cipher_load_keystore_from_file(scratch, map, path.c_str(), mgr, 0);
        const auto got = map_contents(map);
        edge_base_memory_pool_destroy(&scratch);
        if (rc != EDGE_OK || got.size() != kKeys) return -1;
        const unsigned version = static_cast<unsigned>(std::stoul(got.begin()->second.substr(13)));
        for (const auto &[name, value] : version_keys(version)) {
            if (got.count(name) == 0 || got.at(name) != value) return -1;
        }
        return version;
    };

    ASSERT_EQ(save_version(0), EDGE_OK);
    std::mt19937 gen(20240601);
    std::uniform_int_distribution<int> delay_us(0, 4000);
    long last = 0;
    int advanced = 0;
    int torn_temporaries = 0;
    const auto started = std::chrono::steady_clock::now();
    for (int kill_no = 0; kill_no < kKills; ++kill_no) {
        const unsigned from = static_cast<unsigned>(last) + 1;
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            // Bounded in case the parent is gone before it kills: dies with it, and stops by
            // itself after 10 s.
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            for (unsigned v = from; std::chrono::steady_clock::now() < deadline; ++v) {
                if (save_version(v) != EDGE_OK) _exit(3);
            }
            _exit(4);
        }
        usleep(static_cast<useconds_t>(delay_us(gen)));
        ASSERT_EQ(kill(pid, SIGKILL), 0);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the saver stopped on its own, status " << status;

        const long now = stored_version();
        ASSERT_GE(now, last) << "after kill " << kill_no << " the store is not one whole version";
        advanced += now > last ? 1 : 0;
        last = now;
        torn_temporaries += list_dir(secret()).size() > kKeyFiles.size() ? 1 : 0;

        ASSERT_EQ(save_version(static_cast<unsigned>(++last)), EDGE_OK);
        ASSERT_EQ(list_dir(secret()), kKeyFiles) << "after kill " << kill_no;
    }
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
    std::cout << kKills << " kills in " << ms.count() << " ms; the store advanced in " << advanced
              << ", a temporary file was left by " << torn_temporaries << "\n";
    RecordProperty("kills_with_progress", advanced);
    RecordProperty("kills_leaving_temporary", torn_temporaries);
}

TEST_F(CipherRuntime, NewMaterialFeedsEveryByteIntoTheRootKey) {
    // A material byte equal to the masks' XOR would end the root key's password early (at the
    // first byte: a root key from the built-in constants alone). About one draw in sixteen has
    // such a byte, so a hundred first starts would meet one if new material allowed it.
    const std::string mask1 = from_hex(GRAVEL_ROOT_KEY_MASK1);
    const std::string mask2 = from_hex(GRAVEL_ROOT_KEY_MASK2);
    for (int start = 0; start < 100; ++start) {
        std::error_code ec;
        std::filesystem::remove_all(secret(), ec);
        ASSERT_EQ(edge_cipher_init(), EDGE_OK) << start;
        const std::string material = read_file(material_file());
        ASSERT_EQ(material.size(), 16u);
        for (size_t i = 0; i < 16; ++i) ASSERT_NE(mask1[i] ^ mask2[i] ^ material[i], 0) << start << " byte " << i;
        edge_cipher_destroy();
    }
}

TEST_F(CipherRuntime, AWorkKeyThatCannotBeStoredFailsInit) {
    // The primary store's path is taken by a directory: the work key cannot reach the disk, so
    // it must not be kept to protect domain keys that a restart could not open.
    gravel::test::make_dirs(secret());
    gravel::test::make_dirs(primary_file() + "/blocked");
    EXPECT_NE(edge_cipher_init(), EDGE_OK);
    EXPECT_EQ(edge_cipher_choose_work_key(edge_CIPHER_MGR_mgr_get(), 0), nullptr);
    // A domain key has no work key to be stored under; it stays usable in this process only.
    EXPECT_EQ(edge_cipher_save_key("secret", bytes(std::string(16, 's')), 16, 1), EDGE_ERR_MISSING);
    EXPECT_EQ(domain_key("secret"), std::string(16, 's'));
    EXPECT_FALSE(gravel::test::exists(domain_file()));
    edge_cipher_destroy();
}

// A key whose store write failed stays entered and usable, and is remembered as not on disk:
// while the disk refuses, a save of its name writes the store again and reports that, never
// "has saved, skip"; once the disk takes writes again, any save writes it along with the rest,
// and only after that does a save of its name skip.
TEST_F(CipherRunning, KeysWhoseStoreWriteFailedStayUsableUntilTheyAreWritten) {
    const std::string secret_key = gravel::test::cat("s", pseudo_random_bytes(15, 21));
    const std::vector<std::pair<std::string, std::string>> bind = {{"crypt_key", std::string(16, 'c')},
                                                                   {"token", std::string(16, 't')}};
    apr_hash_t *table = key_map(pool_, bind);  // outlives the cipher's restarts
    struct Route {
        const char *what;
        std::function<uint32_t()> save;
        Names stored;
    };
    const Route routes[] = {
        {"the same name again",
         [&] { return edge_cipher_save_key("secret", bytes(secret_key), 16, 1); },
         {"crypt_key", "secret", "token"}},
        {"another key",
         [&] { return edge_cipher_save_key("later", bytes(std::string(16, 'l')), 16, 1); },
         {"crypt_key", "later", "secret", "token"}},
        {"the same bind again", [&] { return edge_cipher_save_auth_keys(table); }, {"crypt_key", "secret", "token"}},
    };
    for (const Route &route : routes) {
        std::filesystem::remove_all(domain_file());
        ASSERT_EQ(restart_cipher(), EDGE_OK) << route.what;
        // A directory where the store's file must go: replacing it fails, for root too.
        gravel::test::make_dirs(domain_file() + "/blocked");
        const size_t skips = work_.count_logged("WARN target domain key has saved, skip, domain_name:secret");
        const size_t bind_skips = work_.count_logged("WARN domain key has existed, skip, key_name:crypt_key");

        EXPECT_EQ(edge_cipher_save_key("secret", bytes(secret_key), 16, 1), EDGE_ERR_FILE_WRITE) << route.what;
        EXPECT_EQ(edge_cipher_save_key("secret", bytes(secret_key), 16, 1), EDGE_ERR_FILE_WRITE) << route.what;
        EXPECT_EQ(edge_cipher_save_auth_keys(table), EDGE_ERR_FILE_WRITE) << route.what;
        EXPECT_EQ(edge_cipher_save_auth_keys(table), EDGE_ERR_FILE_WRITE) << route.what;
        EXPECT_EQ(work_.count_logged("WARN target domain key has saved, skip, domain_name:secret"), skips);
        EXPECT_EQ(work_.count_logged("WARN domain key has existed, skip, key_name:crypt_key"), bind_skips);
        // The process still builds its password and uses the bind's keys.
        char password[64];
        uint32_t len = sizeof password;
        ASSERT_EQ(edge_cipher_digest(bytes("client"), 6, password, &len, "secret"), EDGE_OK) << route.what;
        EXPECT_EQ(std::string(password, len), to_hex(openssl_hmac_sha256(secret_key, "client")));
        for (const auto &[name, key] : bind) EXPECT_EQ(domain_key(name.c_str()), key) << route.what;

        std::filesystem::remove_all(domain_file());
        ASSERT_EQ(route.save(), EDGE_OK) << route.what;
        Names stored;
        for (const auto &[name, value] : read_pairs(domain_file())) stored.push_back(name);
        EXPECT_EQ(stored, route.stored) << route.what;
        // On disk now: saving the names again skips them.
        EXPECT_EQ(edge_cipher_save_key("secret", bytes(secret_key), 16, 1), EDGE_OK);
        EXPECT_EQ(work_.count_logged("WARN target domain key has saved, skip, domain_name:secret"), skips + 1);
        EXPECT_EQ(edge_cipher_save_auth_keys(table), EDGE_OK);
        EXPECT_EQ(work_.count_logged("WARN domain key has existed, skip, key_name:crypt_key"), bind_skips + 1);

        ASSERT_EQ(restart_cipher(), EDGE_OK) << route.what;
        EXPECT_EQ(domain_key("secret"), secret_key) << route.what;
        for (const auto &[name, key] : bind) EXPECT_EQ(domain_key(name.c_str()), key) << route.what;
    }
}
