#include "OutputFile.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#if defined(_WIN32)
#include <io.h>
#else
#include <poll.h>
#include <unistd.h>
#endif

namespace Drfn3 {

namespace {

constexpr std::size_t BUFFER_SIZE = 64 * 1024;

#if defined(_WIN32)
// Files get the same bytes as on Linux: no line-end translation.
constexpr int OPEN_FLAGS = O_WRONLY | O_CREAT | O_TRUNC | O_BINARY | O_NOINHERIT;
int fsync(int fd)
{
    return ::_commit(fd);
}
#else
constexpr int OPEN_FLAGS = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
#endif

} // namespace

OutputFile::OutputFile(const std::string& path)
{
    if (path.empty()) return;
    if (path == "-")
    {
        _name = "standard output";
        _fd = STDOUT_FILENO;
        return;
    }
    _name = path;
    _fd = ::open(path.c_str(), OPEN_FLAGS, 0666);
    if (_fd < 0) throw Poco::CreateFileException(path + ": " + std::strerror(errno));
    _owned = true;
}

OutputFile::OutputFile() : _name("standard output"), _fd(STDOUT_FILENO) {}

OutputFile::OutputFile(int fd, const std::string& name) : _name(name), _fd(fd) {}

OutputFile::~OutputFile()
{
    if (_owned && _fd >= 0) ::close(_fd);
}

void OutputFile::line(const std::string& text)
{
    if (_fd < 0) return;
    _buffer += text;
    _buffer += '\n';
    if (_buffer.size() >= BUFFER_SIZE) flush();
}

void OutputFile::write(const std::string& text)
{
    if (_fd < 0) return;
    _buffer += text;
    if (_buffer.size() >= BUFFER_SIZE) flush();
}

void OutputFile::flush()
{
    if (_fd < 0 || _buffer.empty()) return;
    // Taken out first: after a failure the same bytes are not tried again at close.
    std::string pending;
    pending.swap(_buffer);
    writeAll(pending.data(), pending.size());
}

void OutputFile::writeAll(const char* data, std::size_t size)
{
    while (size > 0)
    {
        const ssize_t written = ::write(_fd, data, size);
        if (written < 0)
        {
            if (errno == EINTR) continue;
            if (errno == EPIPE) throw OutputClosed(_name);
            throw Poco::WriteFileException(_name + ": " + std::strerror(errno));
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
}

void OutputFile::close()
{
    if (_fd < 0) return;
    flush();
    if (!_owned)
    {
        _fd = -1;
        return;
    }
    const int fd = _fd;
    _fd = -1;
    // Some file systems (NFS, full quotas) report a lost write only here.
    if (fsync(fd) != 0 && errno != EINVAL && errno != EROFS && errno != ENOTSUP)
    {
        const int error = errno;
        ::close(fd);
        throw Poco::WriteFileException(_name + ": " + std::strerror(error));
    }
    if (::close(fd) != 0) throw Poco::WriteFileException(_name + ": " + std::strerror(errno));
}

bool OutputFile::readerGone() const
{
    if (_fd < 0) return false;
#if defined(_WIN32)
    // Windows tells a closed pipe only to the write that finds it.
    return false;
#else
    pollfd p{_fd, 0, 0};
    // A pipe whose reader closed shows POLLERR without anything being written.
    return ::poll(&p, 1, 0) == 1 && (p.revents & (POLLERR | POLLHUP)) != 0;
#endif
}

} // namespace Drfn3
