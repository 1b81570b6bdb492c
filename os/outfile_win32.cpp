// Output files on Windows: what a path names is read from an open handle
// (GetFileType tells a disk file from a device such as NUL or CON, or a
// pipe), and links are resolved to their final path.
#include "os/outfile.h"

#include "os/outfile_sys.h"

#include <windows.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

namespace {

// The final path of an open file, without the "\\?\" prefix; "" if unknown.
std::string final_path(HANDLE file) {
    char path[MAX_PATH + 8];
    const DWORD n = GetFinalPathNameByHandleA(file, path, sizeof path, FILE_NAME_NORMALIZED);
    if (n == 0 || n >= sizeof path) return "";
    std::string p(path, n);
    if (p.rfind("\\\\?\\UNC\\", 0) == 0) return "\\\\" + p.substr(8);
    if (p.rfind("\\\\?\\", 0) == 0) return p.substr(4);
    return p;
}

} // namespace

bool outfile_target(const char* path, OutTarget* target, std::string* error) {
    (void)error;
    const HANDLE file = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *target = {path, false, false}; // not there yet: the open says why if it cannot be made
        return true;
    }
    const bool disk = GetFileType(file) == FILE_TYPE_DISK;
    const std::string real = disk ? final_path(file) : "";
    CloseHandle(file);
    if (!disk) {
        *target = {path, true, false};
        return true;
    }
    *target = {real.empty() ? std::string(path) : real, false, false};
    return true;
}

void outfile_sys_stdout_binary() {
    _setmode(_fileno(stdout), _O_BINARY); // bytes, not text with CR LF
}

FILE* outfile_sys_temp(char* name_template, size_t suffix_length, std::string* error) {
    // No mkstemps here: the XXXXXX are filled in until an exclusive create
    // finds a name no other file has.
    char* unique = name_template + strlen(name_template) - suffix_length - 6;
    int fd = -1;
    for (uint32_t attempt = 0; attempt < 1000 && fd < 0; attempt++) {
        const uint32_t n = (GetCurrentProcessId() * 7919u + GetTickCount() + attempt) % 1000000u;
        for (int32_t i = 5, v = int32_t(n); i >= 0; i--, v /= 10) unique[i] = char('0' + v % 10);
        fd = _open(name_template, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
        if (fd < 0 && errno != EEXIST) break;
    }
    FILE* file = fd < 0 ? nullptr : _fdopen(fd, "wb");
    if (!file) {
        *error = strerror(errno);
        if (fd >= 0) {
            _close(fd);
            remove(name_template);
        }
    }
    return file;
}

FILE* outfile_scratch(const char* suffix, std::string* path, std::string* error) {
    char dir[MAX_PATH + 1];
    const DWORD n = GetTempPathA(sizeof dir, dir);
    const std::string folder = n > 0 && n < sizeof dir ? std::string(dir, n) : ".\\";
    // A name no other file has: the exclusive create fails on a clash.
    for (uint32_t attempt = 0; attempt < 1000; attempt++) {
        *path = folder + "vlorp-" + std::to_string(GetCurrentProcessId()) + "-" +
                std::to_string(GetTickCount() + attempt) + suffix;
        const int fd =
            _open(path->c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
        if (fd >= 0) {
            FILE* file = _fdopen(fd, "wb");
            if (!file) {
                *error = *path + ": " + strerror(errno);
                _close(fd);
                remove(path->c_str());
            }
            return file;
        }
        if (errno != EEXIST) break;
    }
    *error = *path + ": " + strerror(errno);
    return nullptr;
}

void outfile_sys_identity(const char* path, int fd, OutIdentity* id) {
    *id = {false, false, 0, 0, ""};
    HANDLE file = fd >= 0
                      ? reinterpret_cast<HANDLE>(_get_osfhandle(fd))
                      : CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        BY_HANDLE_FILE_INFORMATION info;
        const bool disk = GetFileType(file) == FILE_TYPE_DISK;
        if (disk && GetFileInformationByHandle(file, &info))
            *id = {true, false, info.dwVolumeSerialNumber,
                   uint64_t(info.nFileIndexHigh) << 32 | info.nFileIndexLow, ""};
        else if (!disk)
            *id = {true, true, 0, 0, ""};
        if (fd < 0) CloseHandle(file);
        return;
    }
    if (fd >= 0) return;
    // Not there yet: its full name, in one case (the file system ignores case).
    char full[MAX_PATH + 1];
    const DWORD n = GetFullPathNameA(path, sizeof full, full, nullptr);
    if (n == 0 || n >= sizeof full) return;
    std::string name(full, n);
    for (char& c : name) c = char(tolower(uint8_t(c)));
    *id = {true, false, 0, 0, name};
}

void outfile_sys_keep_attributes(const char*, const char*) {} // no modes or owners to keep

bool outfile_sys_copy_into(const char*, const char*, std::string* error) {
    *error = "cannot write into the file"; // never chosen: no target asks for it here
    return false;
}
