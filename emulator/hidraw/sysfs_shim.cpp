// Preloaded into the programs that scripts/hidraw-run starts. libudev drops every device whose
// directory is not on sysfs (it checks the file system type with fstatfs), but inside the
// namespace /sys is a tmpfs that convsim fills. This makes a tmpfs under /sys report itself as
// sysfs, and changes nothing else.
#include <dlfcn.h>
#include <linux/magic.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

bool underSys(const char* path) {
    return path != nullptr && std::strncmp(path, "/sys", 4) == 0 && (path[4] == '\0' || path[4] == '/');
}

bool fdUnderSys(int fd) {
    char link[64];
    char path[4096];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = ::readlink(link, path, sizeof path - 1);
    if (n <= 0) return false;
    path[n] = '\0';
    return underSys(path);
}

template <typename Stat>
void asSysfs(int result, Stat* buf, bool sys) {
    if (result == 0 && sys && buf->f_type == TMPFS_MAGIC) buf->f_type = SYSFS_MAGIC;
}

template <typename Fn>
Fn next(const char* name) {
    return reinterpret_cast<Fn>(::dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" {

int fstatfs(int fd, struct statfs* buf) {
    static const auto real = next<int (*)(int, struct statfs*)>("fstatfs");
    const int result = real(fd, buf);
    asSysfs(result, buf, fdUnderSys(fd));
    return result;
}

int fstatfs64(int fd, struct statfs64* buf) {
    static const auto real = next<int (*)(int, struct statfs64*)>("fstatfs64");
    const int result = real(fd, buf);
    asSysfs(result, buf, fdUnderSys(fd));
    return result;
}

int statfs(const char* path, struct statfs* buf) {
    static const auto real = next<int (*)(const char*, struct statfs*)>("statfs");
    const int result = real(path, buf);
    asSysfs(result, buf, underSys(path));
    return result;
}

int statfs64(const char* path, struct statfs64* buf) {
    static const auto real = next<int (*)(const char*, struct statfs64*)>("statfs64");
    const int result = real(path, buf);
    asSysfs(result, buf, underSys(path));
    return result;
}

}  // extern "C"
