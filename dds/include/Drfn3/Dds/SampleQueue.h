#ifndef Drfn3_Dds_SampleQueue_INCLUDED
#define Drfn3_Dds_SampleQueue_INCLUDED

#include <Drfn3/Sample.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

namespace Drfn3 {
namespace Dds {

/// Samples handed from the streaming thread to a slower one. Bounded: past its capacity the
/// oldest samples are dropped and counted, so the streaming thread never waits but for the
/// lock, which is held only to copy.
class SampleQueue
{
public:
    explicit SampleQueue(std::size_t capacity);

    void push(const std::vector<Sample>& batch);
    /// Moves what is queued into out (cleared first), waiting up to wait for something or for
    /// wake(); false when nothing came.
    bool take(std::vector<Sample>& out, std::chrono::milliseconds wait);
    /// Ends the current or next wait of take().
    void wake();
    std::uint64_t dropped() const;

private:
    mutable std::mutex _mutex;
    std::condition_variable _ready;
    std::deque<Sample> _samples;
    std::size_t _capacity;
    std::uint64_t _dropped = 0;
    bool _woken = false;
};

} // namespace Dds
} // namespace Drfn3

#endif
