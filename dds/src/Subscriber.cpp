#include "Drfn3/Dds/Subscriber.h"

#include "Messages.h"

#include <algorithm>

namespace Drfn3 {
namespace Dds {

namespace {

using Clock = std::chrono::steady_clock;

/// Nothing for this long after the session said it ended: what is missing is lost.
constexpr std::chrono::seconds END_GRACE{2};
constexpr int TAKE_AT_ONCE = 64;

dds_entity_t makeReader(dds_entity_t participant, const dds_topic_descriptor_t* type, const char* name, unsigned depth)
{
    const dds_entity_t topic = check(dds_create_topic(participant, type, name, nullptr, nullptr), name);
    dds_qos_t* qos = readerQos(depth);
    const dds_entity_t reader = dds_create_reader(participant, topic, qos, nullptr);
    dds_delete_qos(qos);
    check(reader, name);
    check(dds_set_status_mask(reader, DDS_DATA_AVAILABLE_STATUS), name);
    return reader;
}

/// Takes everything the reader holds, loaned, a handful at a time.
template <typename Message, typename Each>
void takeAll(dds_entity_t reader, Each each)
{
    void* samples[TAKE_AT_ONCE];
    dds_sample_info_t infos[TAKE_AT_ONCE];
    for (;;)
    {
        samples[0] = nullptr;
        const dds_return_t n = dds_take(reader, samples, infos, TAKE_AT_ONCE, TAKE_AT_ONCE);
        if (n <= 0) return;
        for (dds_return_t i = 0; i < n; ++i) each(*static_cast<const Message*>(samples[i]), infos[i]);
        dds_return_loan(reader, samples, n);
        if (n < TAKE_AT_ONCE) return;
    }
}

} // namespace

SessionSubscriber::SessionSubscriber(unsigned domain) : _lastData(Clock::now())
{
    _participant = check(dds_create_participant(static_cast<dds_domainid_t>(domain), nullptr, nullptr),
                         "cannot join domain " + std::to_string(domain));
    try
    {
        // A few sessions' latest status; the samples of several seconds.
        _statusReader = makeReader(_participant, &drfn3_msg_dds__Status__desc, STATUS_TOPIC, 1);
        _samplesReader = makeReader(_participant, &drfn3_msg_dds__Samples__desc, SAMPLES_TOPIC, 4096);
        _waitset = check(dds_create_waitset(_participant), "waitset");
        check(dds_waitset_attach(_waitset, _statusReader, 0), "waitset");
        check(dds_waitset_attach(_waitset, _samplesReader, 0), "waitset");
    }
    catch (...)
    {
        dds_delete(_participant);
        throw;
    }
}

SessionSubscriber::~SessionSubscriber()
{
    dds_delete(_participant);
}

bool SessionSubscriber::follows(const char* session)
{
    if (!session) return false;
    if (_session.empty()) _session = session;
    if (_session == session) return true;
    if (std::find(_ignored.begin(), _ignored.end(), session) == _ignored.end()) _ignored.push_back(session);
    return false;
}

void SessionSubscriber::take(std::vector<Sample>& out, std::chrono::milliseconds wait)
{
    dds_waitset_wait(_waitset, nullptr, 0, DDS_MSECS(wait.count()));
    // Samples first: an end read after them cannot have overtaken any of them.
    takeSamples(out);
    takeStatus();
}

void SessionSubscriber::takeStatus()
{
    takeAll<drfn3_msg_dds__Status_>(_statusReader,
                                    [this](const drfn3_msg_dds__Status_& m, const dds_sample_info_t& info) {
                                        if (!m.session) return;
                                        News& news = _news[m.session];
                                        const SessionState state = static_cast<SessionState>(m.state);
                                        if (!info.valid_data)
                                        {
                                            // Its publisher left without a word.
                                            if (info.instance_state != DDS_IST_ALIVE) news.ended = true;
                                            return;
                                        }
                                        news.pods.clear();
                                        for (std::uint32_t i = 0; i < m.pods._length; ++i)
                                            news.pods.emplace_back(m.pods._buffer[i].serial);
                                        news.dropped = m.dropped;
                                        if (state == SessionState::Ended)
                                        {
                                            news.ended = true;
                                            news.countKnown = true;
                                            news.batches = m.batches;
                                        }
                                        // A session heard of only as over is not the one to record, unless its samples come.
                                        else
                                            follows(m.session);
                                    });
}

void SessionSubscriber::takeSamples(std::vector<Sample>& out)
{
    takeAll<drfn3_msg_dds__Samples_>(_samplesReader,
                                     [&](const drfn3_msg_dds__Samples_& m, const dds_sample_info_t& info) {
                                         if (!info.valid_data || !follows(m.session)) return;
                                         // Reliable delivery keeps them in order; a repeat is left out, a gap counted.
                                         if (_anyBatch && m.seq < _nextSeq) return;
                                         if (_anyBatch) _missed += m.seq - _nextSeq;
                                         _anyBatch = true;
                                         _nextSeq = m.seq + 1;
                                         _lastData = Clock::now();
                                         for (std::uint32_t i = 0; i < m.samples._length; ++i)
                                             out.push_back(fromMessage(m.samples._buffer[i]));
                                     });
}

const SessionSubscriber::News* SessionSubscriber::news() const
{
    const auto found = _news.find(_session);
    return found == _news.end() ? nullptr : &found->second;
}

const std::vector<std::string>& SessionSubscriber::pods() const
{
    static const std::vector<std::string> none;
    const News* n = news();
    return n ? n->pods : none;
}

std::uint64_t SessionSubscriber::publisherDropped() const
{
    const News* n = news();
    return n ? n->dropped : 0;
}

bool SessionSubscriber::ended() const
{
    const News* n = news();
    if (!n || !n->ended) return false;
    if (n->countKnown && (n->batches == 0 || (_anyBatch && _nextSeq >= n->batches))) return true;
    return Clock::now() - _lastData > END_GRACE;
}

} // namespace Dds
} // namespace Drfn3
