#ifndef Drfn3_Dds_Subscriber_INCLUDED
#define Drfn3_Dds_Subscriber_INCLUDED

#include <Drfn3/Dds/Topics.h>
#include <Drfn3/Sample.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace Drfn3 {
namespace Dds {

/// Takes back the samples a Publisher publishes, whole and in its order, for a recorder:
/// the session followed is the first one heard from; others on the domain are ignored.
class SessionSubscriber
{
public:
    /// Joins the domain; Poco::IOException when DDS cannot start.
    explicit SessionSubscriber(unsigned domain);
    ~SessionSubscriber();
    SessionSubscriber(const SessionSubscriber&) = delete;
    SessionSubscriber& operator=(const SessionSubscriber&) = delete;

    /// Appends the samples that came, waiting up to wait for some.
    void take(std::vector<Sample>& out, std::chrono::milliseconds wait);
    /// The session ended (its status said so, or its publisher left) and all it published
    /// was taken, or nothing more came for a couple of seconds since.
    bool ended() const;

    /// Empty until a session is heard from.
    const std::string& session() const { return _session; }
    /// The pods its latest status names.
    const std::vector<std::string>& pods() const;
    /// Sessions heard from besides the one followed.
    const std::vector<std::string>& ignored() const { return _ignored; }
    /// Batches of samples that never arrived (gaps in their count).
    std::uint64_t missedBatches() const { return _missed; }
    /// Samples the publisher said it dropped.
    std::uint64_t publisherDropped() const;

private:
    /// What the status said of a session, followed or not: a session over before its samples
    /// come (or were taken) is still known to be over once they do.
    struct News
    {
        bool ended = false;
        bool countKnown = false;
        std::uint64_t batches = 0;
        std::uint64_t dropped = 0;
        std::vector<std::string> pods;
    };

    bool follows(const char* session);
    void takeStatus();
    void takeSamples(std::vector<Sample>& out);
    const News* news() const;

    std::int32_t _participant = 0;
    std::int32_t _statusReader = 0;
    std::int32_t _samplesReader = 0;
    std::int32_t _waitset = 0;
    std::string _session;
    std::map<std::string, News> _news;
    std::vector<std::string> _ignored;
    std::uint64_t _nextSeq = 0;
    bool _anyBatch = false;
    std::uint64_t _missed = 0;
    std::chrono::steady_clock::time_point _lastData;
};

} // namespace Dds
} // namespace Drfn3

#endif
