#ifndef Drfn3_OutputFile_INCLUDED
#define Drfn3_OutputFile_INCLUDED

#include <Poco/Exception.h>

#include <string>

namespace Drfn3 {

/// Whoever reads our output went away (a closed pipe): not a failure, a reason to stop.
class OutputClosed : public Poco::Exception
{
public:
    explicit OutputClosed(const std::string& name) : Poco::Exception(name + " was closed") {}
};

/// A file (or "-" for standard output) written through its own buffer, every write and
/// flush checked: the first failure throws Poco::WriteFileException "NAME: the system's
/// message" (OutputClosed for a reader that went away), so nothing is lost unnoticed.
class OutputFile
{
public:
    /// Nothing is written for an empty path. Poco::CreateFileException when it cannot be
    /// created.
    explicit OutputFile(const std::string& path);
    /// Standard output.
    OutputFile();
    /// A descriptor that stays open (standard error).
    OutputFile(int fd, const std::string& name);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    explicit operator bool() const { return _fd >= 0; }
    const std::string& name() const { return _name; }
    bool isStandardOutput() const { return _fd == 1; }

    /// Appends text and a newline; writes when the buffer is full.
    void line(const std::string& text);
    /// Appends text as it is.
    void write(const std::string& text);
    /// Writes what is buffered.
    void flush();
    /// Flushes and closes; a file's close is checked too.
    void close();
    /// True when the reader of a pipe or socket has gone, found without writing.
    bool readerGone() const;

private:
    void writeAll(const char* data, std::size_t size);

    std::string _name;
    int _fd = -1;
    bool _owned = false;
    std::string _buffer;
};

} // namespace Drfn3

#endif
