#include "Drfn3/Dds/SampleQueue.h"

#include <algorithm>

namespace Drfn3 {
namespace Dds {

SampleQueue::SampleQueue(std::size_t capacity) : _capacity(std::max<std::size_t>(capacity, 1)) {}

void SampleQueue::push(const std::vector<Sample>& batch)
{
    if (batch.empty()) return;
    bool wasEmpty = false;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        wasEmpty = _samples.empty();
        _samples.insert(_samples.end(), batch.begin(), batch.end());
        if (_samples.size() > _capacity)
        {
            const std::size_t excess = _samples.size() - _capacity;
            _samples.erase(_samples.begin(), _samples.begin() + static_cast<std::ptrdiff_t>(excess));
            _dropped += excess;
        }
    }
    // Samples already waiting were announced when they came.
    if (wasEmpty) _ready.notify_one();
}

bool SampleQueue::take(std::vector<Sample>& out, std::chrono::milliseconds wait)
{
    out.clear();
    std::unique_lock<std::mutex> lock(_mutex);
    _ready.wait_for(lock, wait, [this] { return !_samples.empty() || _woken; });
    _woken = false;
    out.assign(_samples.begin(), _samples.end());
    _samples.clear();
    return !out.empty();
}

void SampleQueue::wake()
{
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _woken = true;
    }
    _ready.notify_one();
}

std::uint64_t SampleQueue::dropped() const
{
    std::lock_guard<std::mutex> lock(_mutex);
    return _dropped;
}

} // namespace Dds
} // namespace Drfn3
