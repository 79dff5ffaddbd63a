#include "support/files.h"

#include <fcntl.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

std::string size_text(std::size_t bytes) {
    if (bytes % (std::size_t{1} << 20) == 0) return std::to_string(bytes >> 20) + " MiB";
    return std::to_string(bytes) + " bytes";
}

// The reason a file of this kind is refused, or empty for a regular file within the limit.
std::string refusal(const struct stat& st, std::size_t max_bytes) {
    if (!S_ISREG(st.st_mode)) return "not a regular file";
    if (static_cast<unsigned long long>(st.st_size) > max_bytes) return "larger than " + size_text(max_bytes);
    return "";
}

bool write_all(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n == 0) errno = EIO;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Follows symbolic links from `name` to the file they end at, which may not exist yet. Fails
// with the reason for a loop of links or a file of another kind.
bool final_target(const char* name, std::string& path, bool& exists, struct stat& st, std::string& reason) {
    path = name;
    for (int hops = 0;; ++hops) {
        if (::lstat(path.c_str(), &st) != 0) {
            if (errno != ENOENT) {
                reason = std::strerror(errno);
                return false;
            }
            exists = false;
            return true;
        }
        if (!S_ISLNK(st.st_mode)) break;
        if (hops == 40) {
            reason = std::strerror(ELOOP);
            return false;
        }
        std::vector<char> link(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 255) + 1);
        const ssize_t n = ::readlink(path.c_str(), link.data(), link.size());
        if (n < 0 || static_cast<std::size_t>(n) >= link.size()) {
            reason = n < 0 ? std::strerror(errno) : "the link changed while it was read";
            return false;
        }
        const std::string to(link.data(), static_cast<std::size_t>(n));
        const std::size_t slash = path.rfind('/');
        // A relative link is relative to the folder the link stands in.
        path = to[0] == '/' || slash == std::string::npos ? to : path.substr(0, slash + 1) + to;
    }
    exists = true;
    if (!S_ISREG(st.st_mode)) {
        reason = "not a regular file";
        return false;
    }
    return true;
}

}  // namespace

int open_regular_file(const char* name, std::size_t max_bytes, std::string& reason) {
    // Looked at before it is opened, so that opening can never wait for a writer or wake a
    // device; and again once open, in case the name was changed in between.
    struct stat st;
    if (::stat(name, &st) != 0) {
        reason = std::strerror(errno);
        return -1;
    }
    reason = refusal(st, max_bytes);
    if (!reason.empty()) return -1;
    const int fd = ::open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        reason = std::strerror(errno);
        return -1;
    }
    if (::fstat(fd, &st) != 0) {
        reason = std::strerror(errno);
        ::close(fd);
        return -1;
    }
    reason = refusal(st, max_bytes);
    if (!reason.empty()) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool read_regular_file(const char* name, std::size_t max_bytes, std::string& text, std::string& reason) {
    text.clear();
    const int fd = open_regular_file(name, max_bytes, reason);
    if (fd < 0) return false;
    char buffer[65536];
    bool ok = true;
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            reason = std::strerror(errno);
            ok = false;
            break;
        }
        if (n == 0) break;
        if (text.size() + static_cast<std::size_t>(n) > max_bytes) {
            reason = "larger than " + size_text(max_bytes);
            ok = false;
            break;
        }
        text.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    if (!ok) text.clear();
    return ok;
}

bool replace_file(const char* name, const std::string& text, std::string& reason) {
    std::string path;
    bool exists = false;
    struct stat st;
    if (!final_target(name, path, exists, st, reason)) return false;

    std::string temp = path + ".XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) {
        reason = std::strerror(errno);
        return false;
    }
    // The file keeps its permissions and, where allowed, its owner; a new one gets the usual
    // permissions of a new file.
    mode_t mode;
    if (exists) {
        mode = st.st_mode & 07777;
        if (::fchown(fd, st.st_uid, st.st_gid) != 0) {
            // Not ours to give away: the file becomes the saver's, as a new one would.
        }
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    bool ok = ::fchmod(fd, mode) == 0 && write_all(fd, text) && ::fsync(fd) == 0;
    if (!ok) reason = std::strerror(errno);
    if (::close(fd) != 0 && ok) {
        reason = std::strerror(errno);
        ok = false;
    }
    if (ok && ::rename(temp.c_str(), path.c_str()) != 0) {
        reason = std::strerror(errno);
        ok = false;
    }
    if (!ok) ::unlink(temp.c_str());
    return ok;
}

bool read_number(std::string_view token, double& out) {
    static const locale_t c_numbers = newlocale(LC_NUMERIC_MASK, "C", nullptr);
    if (token.empty() || !c_numbers) return false;
    // strtod_l needs a terminated string; tokens longer than any number are refused.
    char text[128];
    if (token.size() >= sizeof text) return false;
    token.copy(text, token.size());
    text[token.size()] = '\0';
    char* end = nullptr;
    out = strtod_l(text, &end, c_numbers);
    return end == text + token.size() && std::isfinite(out);
}
