#ifndef Drfn3_View_INCLUDED
#define Drfn3_View_INCLUDED

#include "Stream.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace Drfn3 {

/// Where the live view listens and how it treats its browsers.
struct ViewOptions
{
    /// Loopback unless asked: other machines must not see the pods.
    std::string listen = "127.0.0.1";
    /// 0: a free port.
    unsigned port = 0;
    /// Start the desktop's browser on the page.
    bool open = false;
    /// The page's own files (index.html, view.js, view.css); empty: beside drfn3, as installed.
    std::string webRoot;
    /// Where Debian installs dygraphs and three.js.
    std::string libraryRoot = "/usr/share/javascript";
    /// Between two updates to a browser: about 30 a second.
    std::chrono::milliseconds interval{33};
    /// Samples held per browser between updates; past that the oldest go and are counted
    /// (4096: more than a second of 16 pods at 200 Hz).
    std::size_t queueCapacity = 4096;
    /// Browser tabs watching at once.
    unsigned maxClients = 8;
    /// A browser that takes nothing for this long is let go.
    std::chrono::milliseconds sendTimeout{10000};
    /// The kernel's send buffer per browser: what a stalled one holds there stays small.
    int sendBuffer = 256 * 1024;
};

/// One sample as the view sends it: the sample (its orientation too, when the reader
/// estimates one) and when the host had it.
struct ViewSample
{
    Sample sample;
    /// Milliseconds since 1970 when the sample reached the observer.
    double arrival = 0;
};

/// Bounded and allocation-free once made: when full, a push drops the oldest and counts it.
class SampleQueue
{
public:
    explicit SampleQueue(std::size_t capacity = 0) : _items(capacity) {}
    void push(const ViewSample& item);
    std::size_t size() const { return _size; }
    std::size_t capacity() const { return _items.size(); }
    /// Oldest first.
    const ViewSample& operator[](std::size_t i) const { return _items[(_head + i) % _items.size()]; }
    void clear() { _head = _size = 0; }
    void swap(SampleQueue& other) noexcept;
    /// Dropped since the last takeDropped().
    std::uint64_t takeDropped();

private:
    std::vector<ViewSample> _items;
    std::size_t _head = 0;
    std::size_t _size = 0;
    std::uint64_t _dropped = 0;
};

/// The messages a browser gets, one JSON object per WebSocket text frame. The format is
/// described in the README ("The live view's messages").
namespace ViewMessage {
std::string hello(bool started, Units units, const std::vector<unsigned>& serials, bool controllerLost,
                  unsigned intervalMs);
std::string run(Units units, const std::vector<unsigned>& serials);
/// Pods in the order given, then any others in the order they appear. stamps: each sample's
/// arrival time goes along, and sent, when the message leaves (both ms since 1970).
std::string samples(const SampleQueue& queue, const std::vector<unsigned>& order, Units units, std::uint64_t missed,
                    bool stamps, double sent = 0);
std::string status(const std::vector<PodStatus>& pods, double elapsed, Units units, bool final);
std::string controller(bool lost);
std::string end();
} // namespace ViewMessage

/// drfn3's live view: a page and a WebSocket on an HTTP server of its own threads, fed as
/// a StreamObserver from the streaming thread, which it never makes wait: each browser has
/// a bounded queue, emptied about 30 times a second by that browser's server thread.
/// Everything needs the token of url(); a WebSocket also needs the page's own Origin.
class ViewServer : public StreamObserver
{
public:
    /// Listens at once; throws when the address cannot be had or the page is not installed.
    explicit ViewServer(const ViewOptions& options);
    ~ViewServer() override;
    ViewServer(const ViewServer&) = delete;
    ViewServer& operator=(const ViewServer&) = delete;

    /// The page's address, token included.
    std::string url() const;
    const std::string& token() const;
    unsigned port() const;

    void started(const std::vector<unsigned>& serials, Units units) override;
    void samples(const std::vector<Sample>& batch) override;
    void status(const std::vector<PodStatus>& pods, double elapsed) override;
    void controllerLost() override;
    void controllerBack() override;

    /// The stream is over: each browser gets what it still has queued, the final numbers and
    /// an end message, then is closed. Waits up to wait for them.
    void finish(std::chrono::milliseconds wait = std::chrono::milliseconds(2000));

    struct Stats
    {
        std::size_t clients = 0;
        /// Samples not sent to a browser that fell behind, all browsers together.
        std::uint64_t dropped = 0;
        /// The fullest queue now, and the bound.
        std::size_t queued = 0;
        std::size_t capacity = 0;
    };
    Stats stats() const;
    /// Until exactly count browsers are connected; false when the time ran out.
    bool waitForClients(std::size_t count, std::chrono::milliseconds timeout) const;
    /// Until every browser's thread has emptied its queue; false when the time ran out.
    bool waitForDrained(std::chrono::milliseconds timeout) const;

    struct Hub;

private:
    ViewOptions _options;
    std::shared_ptr<Hub> _hub;
    struct Http;
    std::unique_ptr<Http> _http;
    /// Streaming thread only: the batch stamped, and every pod's count and last sample.
    std::vector<ViewSample> _stamped;
    std::vector<PodStatus> _tally;
};

/// drfn3 view: the server started and its address printed (the browser opened with
/// options.open), then run streams with the server as its observer; the browsers are told
/// when it ends.
int runView(const ViewOptions& view, StreamOptions options, const std::function<int(const StreamOptions&)>& run);

} // namespace Drfn3

#endif
