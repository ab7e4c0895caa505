// File and directory helpers on APR's file layer.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <apr_file_info.h>
#include <apr_file_io.h>
#include <apr_portable.h>

#include <gravel/edge_base.h>

#include "edge_scoped_pool.hpp"

namespace {

constexpr apr_fileperms_t kFilePerms = APR_FPROT_UREAD | APR_FPROT_UWRITE;                      // 0600
constexpr apr_fileperms_t kDirPerms = APR_FPROT_UREAD | APR_FPROT_UWRITE | APR_FPROT_UEXECUTE;  // 0700
constexpr apr_int32_t kReadFlags = APR_FOPEN_READ | APR_FOPEN_BINARY;
constexpr apr_int32_t kWriteFlags = APR_FOPEN_WRITE | APR_FOPEN_CREATE | APR_FOPEN_BINARY;
// The one reader of whole small files reads the 12-character module data file.
constexpr apr_size_t kReadAllocLength = 12;

bool has_type(const char *path, apr_pool_t *pool, apr_filetype_e type) noexcept {
    if (path == nullptr || path[0] == '\0' || pool == nullptr) return false;
    apr_finfo_t info;
    // APR_INCOMPLETE means some fields could not be filled; the type is what we asked for.
    apr_status_t rv = apr_stat(&info, path, APR_FINFO_TYPE, pool);
    if (rv != APR_SUCCESS && rv != APR_INCOMPLETE) return false;
    return (info.valid & APR_FINFO_TYPE) != 0 && info.filetype == type;
}

}  // namespace

extern "C" {

EDGE_API int edge_base_file_exist(const char *path, apr_pool_t *pool) {
    return has_type(path, pool, APR_REG) ? 1 : 0;
}

EDGE_API int edge_base_directory_exist(const char *path, apr_pool_t *pool) {
    return has_type(path, pool, APR_DIR) ? 1 : 0;
}

EDGE_API uint32_t edge_base_directory_make(const char *path, apr_pool_t *pool) {
    if (path == nullptr || pool == nullptr) return EDGE_ERR_MISSING;
    return apr_dir_make(path, kDirPerms, pool);
}

EDGE_API uint32_t edge_base_file_read(const char *path, unsigned char *buffer, uint32_t *length, apr_pool_t *pool) {
    if (path == nullptr || buffer == nullptr || length == nullptr || pool == nullptr || *length == 0) {
        return EDGE_ERR_MISSING;
    }
    if (!edge_base_file_exist(path, pool)) return EDGE_ERR_FILE_MISSING;
    apr_file_t *file = nullptr;
    apr_status_t rv = apr_file_open(&file, path, kReadFlags, kFilePerms, pool);
    if (rv != APR_SUCCESS) return rv;
    gravel::FileGuard guard(file);
    apr_size_t n = *length;
    rv = apr_file_read(file, buffer, &n);
    if (rv != APR_SUCCESS) return rv;
    *length = static_cast<uint32_t>(n);
    return EDGE_OK;
}

EDGE_API uint32_t edge_base_file_read_alloc(const char *path, unsigned char **buffer, uint32_t *length,
                                            apr_pool_t *pool) {
    if (path == nullptr || buffer == nullptr || length == nullptr || pool == nullptr) return EDGE_ERR_MISSING;
    if (!edge_base_file_exist(path, pool)) return EDGE_ERR_FILE_MISSING;

    apr_finfo_t info;
    apr_status_t rv = apr_stat(&info, path, APR_FINFO_SIZE, pool);
    const long long size = rv == APR_SUCCESS || rv == APR_INCOMPLETE ? static_cast<long long>(info.size) : -1;
    EDGE_LOG_DEBUG("file:%s size is %lld", path, size);
    apr_size_t want = kReadAllocLength;
    EDGE_LOG_DEBUG("file:%s size is %d", path, static_cast<int>(want));
    if (rv != APR_SUCCESS && rv != APR_INCOMPLETE) return rv;

    *length = static_cast<uint32_t>(want);
    auto *block = static_cast<unsigned char *>(edge_base_memory_malloc(pool, want + 1));
    *buffer = block;
    if (block == nullptr) return EDGE_ERR_NO_MEMORY;
    edge_base_memory_set(block, want + 1, 0, want + 1);

    apr_file_t *file = nullptr;
    rv = apr_file_open(&file, path, kReadFlags, kFilePerms, pool);
    if (rv != APR_SUCCESS) return rv;
    gravel::FileGuard guard(file);
    EDGE_LOG_DEBUG("file:%s size is %d", path, static_cast<int>(want));
    apr_size_t got = want;
    rv = apr_file_read(file, block, &got);
    if (rv != APR_SUCCESS) return rv;
    EDGE_LOG_DEBUG("file:%s size is %d", path, static_cast<int>(got));
    *length = static_cast<uint32_t>(got);
    EDGE_LOG_DEBUG("file:%s size is %d", path, static_cast<int>(got));
    // The content is key material: the line keeps its place in the log but never shows it.
    EDGE_LOG_DEBUG("file content:%s", "***");
    return EDGE_OK;
}

EDGE_API uint32_t edge_base_file_write(const char *path, const unsigned char *data, uint32_t length, apr_pool_t *pool) {
    if (path == nullptr || data == nullptr || pool == nullptr || length == 0) return EDGE_ERR_MISSING;
    // APR's open follows a symbolic link at the path, so the file is opened here: a link is
    // refused (ELOOP), never written through, and no file is created where it points.
    int fd = ::open(path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (fd < 0) {
        const int err = errno;
        if (err == ELOOP) EDGE_LOG_ERROR("file is a symbolic link, not written, path:%s", path);
        return APR_FROM_OS_ERROR(err);
    }
    apr_file_t *file = nullptr;
    apr_status_t rv = apr_os_file_put(&file, &fd, kWriteFlags, pool);
    if (rv != APR_SUCCESS) {
        (void)::close(fd);
        return rv;
    }
    gravel::FileGuard guard(file);
    // A short write is retried until every byte is out or the write fails, so a success
    // always means the whole buffer reached the file.
    return apr_file_write_full(file, data, length, nullptr);
}

EDGE_API uint32_t edge_base_file_remove(const char *path, apr_pool_t *pool) {
    if (path == nullptr || pool == nullptr) return EDGE_ERR_MISSING;
    if (edge_base_file_exist(path, pool)) (void)apr_file_remove(path, pool);
    return EDGE_OK;
}

}  // extern "C"
