#include <Poco/Bugcheck.h>
#include <Poco/DeviceIO/Serial/SerialChannel.h>
#include <Poco/Exception.h>
#include <cstdlib>
#include <cstring>

namespace Poco {
namespace DeviceIO {
namespace Serial {

SerialChannel::SerialChannel(SerialConfig* cfg) : Channel(cfg, ""), SerialChannelImpl(cfg)
{
    open();
}

SerialChannel::~SerialChannel()
{
    closeQuietlyImpl();
}

void SerialChannel::open()
{
    if (!config) throw Poco::NullPointerException("Serial channel has no configuration");
    if (isOpenImpl()) closeImpl(portName());
    openImpl(portName());
    try
    {
        configure();
    }
    catch (...)
    {
        // A port we cannot configure is of no use, and holding it would lock others out.
        closeQuietlyImpl();
        throw;
    }
}

void SerialChannel::close()
{
    if (isOpenImpl()) closeImpl(config ? portName() : std::string());
}

void SerialChannel::configure()
{
    if (!config) throw Poco::NullPointerException("Serial channel has no configuration");
    if (!isOpenImpl()) throw Poco::IOException("Port is not open", portName());
    configureImpl(portName());
}

int SerialChannel::readLoop(char* buffer, int length, int capacity)
{
    int readCount = 0;
    while (readCount < length)
    {
        const int read = readOnceImpl(buffer + readCount, capacity - readCount, portName());
        if (read == 0) break;
        if (!(read <= capacity - readCount))
            Poco::Bugcheck::assertion("read <= length - readCount", __FILE__, __LINE__);
        readCount += read;
    }
    return readCount;
}

int SerialChannel::read(char* buffer, int length)
{
    if (!isOpenImpl()) throw Poco::IOException("Port is not open", portName());
    if (length <= 0) return 0;
    std::memset(buffer, 0, static_cast<std::size_t>(length));
    return readLoop(buffer, length, length);
}

int SerialChannel::readAhead(char* buffer, int length, int capacity)
{
    if (!isOpenImpl()) throw Poco::IOException("Port is not open", portName());
    if (length <= 0) return 0;
    // A port that waits for the full count must not be asked for more than is wanted.
    if (capacity < length || !returnsWhatIsWaitingImpl()) capacity = length;
    return readLoop(buffer, length, capacity);
}

int SerialChannel::read(char*& buffer)
{
    std::string none;
    return readPending(buffer, none);
}

int SerialChannel::readPending(char*& buffer, std::string& ahead)
{
    if (!isOpenImpl()) throw Poco::IOException("Port is not open", portName());
    const SerialConfigImpl& settings = configImpl();
    if (!settings.getUseEOF()) throw Poco::InvalidAccessException();
    const std::size_t step = settings.getBufferSize();
    if (step == 0) throw Poco::InvalidArgumentException("Buffer size is 0");
    if (buffer) throw Poco::InvalidArgumentException("Buffer must be null");
    buffer = static_cast<char*>(std::calloc(step, 1));
    if (!buffer) throw Poco::OutOfMemoryException();
    const char eof = settings.getEOFChar();
    std::string& kept = keptImpl();
    std::size_t bufSize = step;
    std::size_t readCount = 0;
    std::size_t growths = 0;
    for (;;)
    {
        const std::size_t space = bufSize - readCount;
        char* chunk = buffer + readCount;
        // Each chunk is at most the space left, whether it comes from what an earlier call kept,
        // from bytes read ahead or from the port, so what survives the purge below does not
        // depend on how the bytes were read.
        std::string* source = !kept.empty() ? &kept : !ahead.empty() ? &ahead : nullptr;
        std::size_t read;
        if (source)
        {
            read = std::min(source->size(), space);
            std::memcpy(chunk, source->data(), read);
        }
        else
        {
            read = static_cast<std::size_t>(readOnceImpl(chunk, static_cast<int>(space), portName()));
        }
        if (read == 0) break;
        if (!(read <= bufSize - readCount))
            Poco::Bugcheck::assertion("read <= bufSize - readCount", __FILE__, __LINE__);
        const char* end = static_cast<const char*>(std::memchr(chunk, eof, read));
        if (end)
        {
            const std::size_t pos = static_cast<std::size_t>(end - chunk);
            readCount += pos;
            // The port's queue goes, and with it the bytes read ahead of it; what an earlier
            // call kept had left the port already.
            purgeInputImpl();
            std::string after(chunk + pos + 1, read - pos - 1);
            kept = source == &kept ? after + kept.substr(read) : after;
            ahead.clear();
            std::memset(chunk + pos, 0, read - pos);
            break;
        }
        if (source) source->erase(0, read);
        readCount += read;
        if (readCount == bufSize)
        {
            ++growths;
            const std::size_t newSize = (growths + 1) * step;
            char* grown = static_cast<char*>(std::realloc(buffer, newSize));
            if (!grown) throw Poco::OutOfMemoryException();
            std::memset(grown + bufSize, 0, newSize - bufSize);
            buffer = grown;
            bufSize = newSize;
        }
    }
    return static_cast<int>(readCount);
}

int SerialChannel::write(const char* data, int length)
{
    if (!isOpenImpl()) throw Poco::IOException("Port is not open", portName());
    return writeImpl(data, length, portName());
}

bool SerialChannel::isPortInUse(const std::string& name)
{
    return isPortInUseImpl(name);
}

} // namespace Serial
} // namespace DeviceIO
} // namespace Poco
