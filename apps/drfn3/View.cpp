#include "View.h"

#include <Poco/Exception.h>
#include <Poco/File.h>
#include <Poco/FileStream.h>
#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/Net/HTTPRequestHandlerFactory.h>
#include <Poco/Net/HTTPServer.h>
#include <Poco/Net/HTTPServerParams.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/WebSocket.h>
#include <Poco/RandomStream.h>
#include <Poco/StreamCopier.h>
#include <Poco/String.h>
#include <Poco/ThreadPool.h>
#include <Poco/URI.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <condition_variable>
#include <filesystem>
#include <iostream>
#include <mutex>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

namespace Drfn3 {

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

double nowMilliseconds()
{
    return std::chrono::duration<double, std::milli>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::string randomToken()
{
    Poco::RandomInputStream random;
    unsigned char bytes[16];
    random.read(reinterpret_cast<char*>(bytes), sizeof bytes);
    static const char digits[] = "0123456789abcdef";
    std::string token;
    for (unsigned char b : bytes)
    {
        token += digits[b >> 4];
        token += digits[b & 15];
    }
    return token;
}

/// In time independent of where the first difference lies.
bool sameToken(const std::string& given, const std::string& token)
{
    if (given.size() != token.size()) return false;
    unsigned char diff = 0;
    for (std::size_t i = 0; i < token.size(); ++i) diff |= static_cast<unsigned char>(given[i] ^ token[i]);
    return diff == 0;
}

std::string readFile(const std::string& path)
{
    Poco::FileInputStream in(path);
    std::string content;
    Poco::StreamCopier::copyToString(in, content);
    return content;
}

std::string defaultWebRoot()
{
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (ec) return std::string();
    // The build tree and an installed tree both keep the page there, relative to drfn3.
    return (self.parent_path().parent_path() / "share" / "drfn3" / "web").lexically_normal().string();
}

/// A Host header as it may go into a header of ours: nothing but what an address holds.
bool plainHost(const std::string& host)
{
    return !host.empty() && host.size() < 256 && std::all_of(host.begin(), host.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == ':' || c == '-' || c == '[' || c == ']';
    });
}

bool wildcard(const std::string& address)
{
    return address == "0.0.0.0" || address == "::" || address == "[::]";
}

} // namespace

void SampleQueue::push(const ViewSample& item)
{
    if (_items.empty()) return;
    if (_size == _items.size())
    {
        _items[_head] = item;
        _head = (_head + 1) % _items.size();
        ++_dropped;
        return;
    }
    _items[(_head + _size) % _items.size()] = item;
    ++_size;
}

void SampleQueue::swap(SampleQueue& other) noexcept
{
    _items.swap(other._items);
    std::swap(_head, other._head);
    std::swap(_size, other._size);
    std::swap(_dropped, other._dropped);
}

std::uint64_t SampleQueue::takeDropped()
{
    const std::uint64_t dropped = _dropped;
    _dropped = 0;
    return dropped;
}

/// What the streaming thread and the browsers' threads share, under one mutex held only to
/// copy or swap.
struct ViewServer::Hub
{
    struct Client
    {
        Client(std::size_t capacity, bool stamps) : queue(capacity), stamps(stamps) {}
        SampleQueue queue;
        /// Messages that must not be lost to a slow browser: few, and bounded anyway. What
        /// the samples need (the run's pods and units) goes before the queued samples, what
        /// happened after them (the controller's coming and going) after.
        std::vector<std::string> before, after;
        std::uint64_t statusSeen = 0;
        bool stamps;
        /// Shut down from outside to free a thread blocked in a send.
        Poco::Net::StreamSocket* socket = nullptr;
    };

    /// A browser thread's share of one update.
    struct Take
    {
        std::vector<std::string> before, after;
        bool hasStatus = false;
        std::vector<PodStatus> status;
        double elapsed = 0;
        bool final = false;
        bool ended = false;
        bool stopping = false;
        Units units = Units::Calibrated;
        std::vector<unsigned> serials;
    };

    static constexpr std::size_t MAX_EVENTS = 32;

    Hub(const ViewOptions& options, std::string token, std::string webRoot)
        : options(options), token(std::move(token)), webRoot(std::move(webRoot))
    {
    }

    /// nullptr when as many browsers as allowed already watch.
    std::shared_ptr<Client> add(bool stamps)
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (stopping || clients.size() >= options.maxClients) return nullptr;
        auto client = std::make_shared<Client>(options.queueCapacity, stamps);
        client->before.push_back(
            ViewMessage::hello(started, units, serials, lost, static_cast<unsigned>(options.interval.count())));
        clients.push_back(client);
        changed.notify_all();
        return client;
    }

    void attach(Client& client, Poco::Net::StreamSocket* socket)
    {
        std::lock_guard<std::mutex> lock(mutex);
        client.socket = socket;
    }

    void remove(const std::shared_ptr<Client>& client)
    {
        std::lock_guard<std::mutex> lock(mutex);
        clients.erase(std::remove(clients.begin(), clients.end(), client), clients.end());
        changed.notify_all();
    }

    void event(const std::string& message, bool beforeSamples)
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (auto& client : clients)
        {
            std::vector<std::string>& events = beforeSamples ? client->before : client->after;
            if (events.size() >= MAX_EVENTS) events.erase(events.begin());
            events.push_back(message);
        }
    }

    /// Swaps the client's queue with out (which must be empty) and takes the rest.
    void take(Client& client, SampleQueue& out, Take& take)
    {
        std::lock_guard<std::mutex> lock(mutex);
        out.swap(client.queue);
        take.before.swap(client.before);
        take.after.swap(client.after);
        client.before.clear();
        client.after.clear();
        take.hasStatus = client.statusSeen != statusSequence;
        if (take.hasStatus)
        {
            client.statusSeen = statusSequence;
            take.status = status;
            take.elapsed = elapsed;
            take.final = finalStatus;
        }
        take.ended = ended;
        take.stopping = stopping;
        changed.notify_all();
        take.units = units;
        take.serials = serials;
    }

    const ViewOptions options;
    const std::string token;
    const std::string webRoot;

    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::vector<std::shared_ptr<Client>> clients;
    bool started = false;
    Units units = Units::Calibrated;
    std::vector<unsigned> serials;
    bool lost = false;
    std::vector<PodStatus> status;
    double elapsed = 0;
    bool finalStatus = false;
    std::uint64_t statusSequence = 0;
    bool ended = false;
    bool stopping = false;
    std::uint64_t dropped = 0;
};

namespace {

using Hub = ViewServer::Hub;
using Poco::Net::HTTPResponse;
using Poco::Net::HTTPServerRequest;
using Poco::Net::HTTPServerResponse;
using Poco::Net::WebSocket;

struct Route
{
    const char* path;
    /// Under the page's folder, or under the JavaScript libraries' when library.
    const char* file;
    bool library;
    const char* type;
};

const Route ROUTES[] = {
    {"/", "index.html", false, "text/html; charset=utf-8"},
    {"/view.js", "view.js", false, "text/javascript; charset=utf-8"},
    {"/view.css", "view.css", false, "text/css; charset=utf-8"},
    {"/lib/dygraph.min.js", "dygraphs/dygraph.min.js", true, "text/javascript; charset=utf-8"},
    {"/lib/dygraph.min.css", "dygraphs/dygraph.min.css", true, "text/css; charset=utf-8"},
    {"/lib/three.min.js", "three/three.min.js", true, "text/javascript; charset=utf-8"},
};

class Handler : public Poco::Net::HTTPRequestHandler
{
public:
    explicit Handler(std::shared_ptr<Hub> hub) : _hub(std::move(hub)) {}

    void handleRequest(HTTPServerRequest& request, HTTPServerResponse& response) override
    {
        try
        {
            serve(request, response);
        }
        catch (const Poco::Exception&)
        {
            // A browser that went away in the middle; nothing to tell anyone.
        }
    }

private:
    void refuse(HTTPServerResponse& response, HTTPResponse::HTTPStatus status, const std::string& text)
    {
        response.setStatusAndReason(status);
        response.setContentType("text/plain; charset=utf-8");
        response.set("Cache-Control", "no-store");
        response.setContentLength(static_cast<std::streamsize>(text.size() + 1));
        response.send() << text << '\n';
    }

    void serve(HTTPServerRequest& request, HTTPServerResponse& response)
    {
        const Poco::URI uri(request.getURI());
        std::string token;
        bool stamps = false;
        for (const auto& parameter : uri.getQueryParameters())
        {
            if (parameter.first == "token") token = parameter.second;
            if (parameter.first == "stamps") stamps = parameter.second == "1";
        }
        if (!sameToken(token, _hub->token))
            return refuse(response, HTTPResponse::HTTP_FORBIDDEN,
                          "Forbidden: open the address drfn3 printed, token included");
        const bool head = request.getMethod() == Poco::Net::HTTPRequest::HTTP_HEAD;
        if (request.getMethod() != Poco::Net::HTTPRequest::HTTP_GET && !head)
        {
            response.set("Allow", "GET, HEAD");
            return refuse(response, HTTPResponse::HTTP_METHOD_NOT_ALLOWED, "Only GET and HEAD");
        }
        const std::string path = uri.getPath();
        if (path == "/ws") return serveSocket(request, response, stamps);
        for (const Route& route : ROUTES)
        {
            if (path != route.path) continue;
            const std::string file = (route.library ? _hub->options.libraryRoot : _hub->webRoot) + "/" + route.file;
            if (!Poco::File(file).exists())
                return refuse(response, HTTPResponse::HTTP_NOT_FOUND,
                              "Not installed: " + file +
                                  (route.library ? " (Debian's libjs-dygraphs and libjs-three)" : ""));
            std::string body = readFile(file);
            if (path == "/") body = Poco::replace(body, std::string("{{TOKEN}}"), _hub->token);
            response.setContentType(route.type);
            response.set("Cache-Control", "no-store");
            response.set("X-Content-Type-Options", "nosniff");
            // The address holds the token: it goes to no other site, and no page frames ours.
            response.set("Referrer-Policy", "no-referrer");
            const std::string host = request.getHost();
            response.set("Content-Security-Policy",
                         "default-src 'self'; style-src 'self' 'unsafe-inline'; img-src 'self' data:; "
                         "connect-src 'self'" +
                             (plainHost(host) ? " ws://" + host : std::string()) + "; frame-ancestors 'none'");
            response.setContentLength(static_cast<std::streamsize>(body.size()));
            std::ostream& out = response.send();
            if (!head) out << body;
            return;
        }
        refuse(response, HTTPResponse::HTTP_NOT_FOUND, "Not found");
    }

    void serveSocket(HTTPServerRequest& request, HTTPServerResponse& response, bool stamps)
    {
        // Another page in the same browser could open a socket here: only our page may.
        const std::string origin = request.get("Origin", "");
        if (origin.empty() || Poco::icompare(origin, "http://" + request.getHost()) != 0)
            return refuse(response, HTTPResponse::HTTP_FORBIDDEN, "Forbidden: not the page's own origin");
        if (Poco::icompare(request.get("Upgrade", ""), "websocket") != 0)
            return refuse(response, HTTPResponse::HTTP_BAD_REQUEST, "A WebSocket only");
        const std::shared_ptr<Hub::Client> client = _hub->add(stamps);
        if (!client)
            return refuse(response, HTTPResponse::HTTP_SERVICE_UNAVAILABLE,
                          "Too many browser tabs watch already: close one");
        try
        {
            WebSocket socket(request, response);
            socket.setNoDelay(true);
            socket.setSendBufferSize(_hub->options.sendBuffer);
            socket.setSendTimeout(Poco::Timespan(std::chrono::microseconds(_hub->options.sendTimeout).count()));
            socket.setReceiveTimeout(Poco::Timespan(1, 0));
            _hub->attach(*client, &socket);
            try
            {
                talk(socket, *client);
            }
            catch (const Poco::Exception&)
            {
                // Gone, or too slow for the send time-out: forgotten below.
            }
            _hub->attach(*client, nullptr);
        }
        catch (const Poco::Exception&)
        {
            // A handshake that was not one; Poco answered it.
        }
        _hub->remove(client);
    }

    void send(WebSocket& socket, const std::string& message)
    {
        socket.sendFrame(message.data(), static_cast<int>(message.size()), WebSocket::FRAME_TEXT);
    }

    /// The browser's thread: an update per interval, and what the browser says between them.
    void talk(WebSocket& socket, Hub::Client& client)
    {
        SampleQueue queue(_hub->options.queueCapacity);
        Hub::Take take;
        char input[256];
        Clock::time_point next = Clock::now();
        for (;;)
        {
            const auto wait = std::chrono::duration_cast<std::chrono::microseconds>(next - Clock::now());
            if (wait.count() > 0 && socket.poll(Poco::Timespan(wait.count()), Poco::Net::Socket::SELECT_READ))
            {
                int flags = 0;
                const int n = socket.receiveFrame(input, sizeof input, flags);
                const int opcode = flags & WebSocket::FRAME_OP_BITMASK;
                if (n == 0 && flags == 0) return;
                if (opcode == WebSocket::FRAME_OP_CLOSE)
                {
                    socket.sendFrame(input, n, WebSocket::FRAME_FLAG_FIN | WebSocket::FRAME_OP_CLOSE);
                    return;
                }
                if (opcode == WebSocket::FRAME_OP_PING)
                    socket.sendFrame(input, n, WebSocket::FRAME_FLAG_FIN | WebSocket::FRAME_OP_PONG);
                continue;
            }
            next += _hub->options.interval;
            if (next < Clock::now()) next = Clock::now() + _hub->options.interval;

            _hub->take(client, queue, take);
            if (take.stopping) return;
            for (const std::string& event : take.before) send(socket, event);
            const std::uint64_t missed = queue.takeDropped();
            if (queue.size() > 0 || missed > 0)
                send(socket, ViewMessage::samples(queue, take.serials, take.units, missed, client.stamps,
                                                  client.stamps ? nowMilliseconds() : 0));
            queue.clear();
            for (const std::string& event : take.after) send(socket, event);
            if (take.hasStatus) send(socket, ViewMessage::status(take.status, take.elapsed, take.units, take.final));
            if (take.ended)
            {
                send(socket, ViewMessage::end());
                const std::string bye = "\x03\xe8"; // 1000: a normal close
                socket.sendFrame(bye.data(), 2, WebSocket::FRAME_FLAG_FIN | WebSocket::FRAME_OP_CLOSE);
                return;
            }
        }
    }

    std::shared_ptr<Hub> _hub;
};

class HandlerFactory : public Poco::Net::HTTPRequestHandlerFactory
{
public:
    explicit HandlerFactory(std::shared_ptr<Hub> hub) : _hub(std::move(hub)) {}
    Poco::Net::HTTPRequestHandler* createRequestHandler(const HTTPServerRequest&) override { return new Handler(_hub); }

private:
    std::shared_ptr<Hub> _hub;
};

} // namespace

struct ViewServer::Http
{
    explicit Http(unsigned maxClients) : pool(2, static_cast<int>(maxClients) + 8, 60) {}
    // The server goes before the threads it runs on.
    Poco::ThreadPool pool;
    std::unique_ptr<Poco::Net::HTTPServer> server;
    std::string host;
    unsigned port = 0;
};

ViewServer::ViewServer(const ViewOptions& options) : _options(options)
{
    std::string webRoot = options.webRoot.empty() ? defaultWebRoot() : options.webRoot;
    if (!Poco::File(webRoot + "/index.html").exists())
        throw Poco::FileNotFoundException("The live view's page is not installed: no index.html in " + webRoot);
    _hub = std::make_shared<Hub>(options, randomToken(), std::move(webRoot));
    _http = std::make_unique<Http>(options.maxClients);

    Poco::Net::ServerSocket socket;
    try
    {
        if (options.port > 65535) throw Poco::InvalidArgumentException("no such port");
        const Poco::Net::SocketAddress address(options.listen, static_cast<Poco::UInt16>(options.port));
        socket.bind(address, true);
        socket.listen(64);
        _http->port = socket.address().port();
        const std::string host = wildcard(options.listen) ? "127.0.0.1" : socket.address().host().toString();
        _http->host = socket.address().family() == Poco::Net::SocketAddress::IPv6 && !wildcard(options.listen)
                          ? "[" + host + "]"
                          : host;
    }
    catch (const Poco::Exception& error)
    {
        throw Poco::IOException("Cannot listen on " + options.listen + " port " + std::to_string(options.port) + ": " +
                                error.displayText());
    }
    Poco::AutoPtr<Poco::Net::HTTPServerParams> params(new Poco::Net::HTTPServerParams);
    // Idle keep-alive connections would each hold a thread that a tab's socket needs.
    params->setKeepAlive(false);
    params->setMaxThreads(static_cast<int>(options.maxClients) + 8);
    params->setMaxQueued(64);
    params->setTimeout(Poco::Timespan(5, 0));
    _http->server = std::make_unique<Poco::Net::HTTPServer>(new HandlerFactory(_hub), _http->pool, socket, params);
    _http->server->start();
}

ViewServer::~ViewServer()
{
    {
        std::unique_lock<std::mutex> lock(_hub->mutex);
        _hub->stopping = true;
        for (auto& client : _hub->clients)
        {
            try
            {
                if (client->socket) client->socket->shutdown();
            }
            catch (const Poco::Exception&)
            {
            }
        }
        _hub->changed.notify_all();
    }
    _http->server->stopAll(true);
    {
        std::unique_lock<std::mutex> lock(_hub->mutex);
        _hub->changed.wait_for(lock, std::chrono::seconds(5), [this] { return _hub->clients.empty(); });
    }
    _http->pool.joinAll();
}

std::string ViewServer::url() const
{
    return "http://" + _http->host + ":" + std::to_string(_http->port) + "/?token=" + _hub->token;
}

const std::string& ViewServer::token() const
{
    return _hub->token;
}

unsigned ViewServer::port() const
{
    return _http->port;
}

void ViewServer::started(const std::vector<unsigned>& serials, Units units)
{
    const std::string message = ViewMessage::run(units, serials);
    {
        std::lock_guard<std::mutex> lock(_hub->mutex);
        _hub->started = true;
        _hub->serials = serials;
        _hub->units = units;
    }
    _hub->event(message, true);
}

void ViewServer::samples(const std::vector<Sample>& batch)
{
    const double arrival = nowMilliseconds();
    _stamped.clear();
    for (const Sample& s : batch) _stamped.push_back({s, arrival});
    std::lock_guard<std::mutex> lock(_hub->mutex);
    for (auto& client : _hub->clients)
    {
        SampleQueue& queue = client->queue;
        for (const ViewSample& s : _stamped)
        {
            if (queue.size() == queue.capacity()) ++_hub->dropped;
            queue.push(s);
        }
    }
    for (const ViewSample& s : _stamped)
    {
        auto pod =
            std::find_if(_tally.begin(), _tally.end(), [&](const PodStatus& p) { return p.serial == s.sample.serial; });
        if (pod == _tally.end())
        {
            _tally.emplace_back();
            pod = _tally.end() - 1;
            pod->serial = s.sample.serial;
        }
        ++pod->samples;
        pod->latest = s.sample;
    }
}

void ViewServer::status(const std::vector<PodStatus>& pods, double elapsed)
{
    std::lock_guard<std::mutex> lock(_hub->mutex);
    _hub->status = pods;
    _hub->elapsed = elapsed;
    ++_hub->statusSequence;
}

void ViewServer::controllerLost()
{
    {
        std::lock_guard<std::mutex> lock(_hub->mutex);
        _hub->lost = true;
    }
    _hub->event(ViewMessage::controller(true), false);
}

void ViewServer::controllerBack()
{
    {
        std::lock_guard<std::mutex> lock(_hub->mutex);
        _hub->lost = false;
    }
    _hub->event(ViewMessage::controller(false), false);
}

void ViewServer::finish(std::chrono::milliseconds wait)
{
    std::unique_lock<std::mutex> lock(_hub->mutex);
    if (_hub->ended) return;
    // The final numbers count every sample, also those after the last refresh; the rate is
    // the last one shown.
    std::vector<PodStatus> final = _tally;
    for (PodStatus& pod : final)
        for (const PodStatus& shown : _hub->status)
            if (shown.serial == pod.serial)
            {
                pod.rate = shown.rate;
                pod.calibrationUsable = shown.calibrationUsable;
            }
    _hub->status = final;
    _hub->finalStatus = true;
    ++_hub->statusSequence;
    _hub->ended = true;
    _hub->changed.wait_for(lock, wait, [this] { return _hub->clients.empty(); });
}

ViewServer::Stats ViewServer::stats() const
{
    std::lock_guard<std::mutex> lock(_hub->mutex);
    Stats stats;
    stats.clients = _hub->clients.size();
    stats.dropped = _hub->dropped;
    stats.capacity = _options.queueCapacity;
    for (const auto& client : _hub->clients) stats.queued = std::max(stats.queued, client->queue.size());
    return stats;
}

bool ViewServer::waitForClients(std::size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> lock(_hub->mutex);
    return _hub->changed.wait_for(lock, timeout, [&] { return _hub->clients.size() == count; });
}

bool ViewServer::waitForDrained(std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> lock(_hub->mutex);
    return _hub->changed.wait_for(lock, timeout, [&] {
        return std::all_of(_hub->clients.begin(), _hub->clients.end(),
                           [](const auto& client) { return client->queue.size() == 0; });
    });
}

namespace {

/// The desktop's browser, detached: its output is not ours, and a missing one is said.
void openBrowser(const std::string& url)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int fd : {0, 1, 2}) posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", O_RDWR, 0);
    const std::string program = "xdg-open";
    std::vector<char*> argv{const_cast<char*>(program.c_str()), const_cast<char*>(url.c_str()), nullptr};
    pid_t pid = 0;
    const int error = posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0)
        std::cerr << "drfn3: cannot start a browser (xdg-open: " << std::strerror(error)
                  << "); open the address above in one\n";
}

} // namespace

int runView(const ViewOptions& view, StreamOptions options, const std::function<int(const StreamOptions&)>& run)
{
    ViewServer server(view);
    // Samples on standard output leave it to them.
    std::ostream& out = options.csv == "-" || options.jsonl == "-" ? std::cerr : std::cout;
    out << "Live view: " << server.url() << std::endl;
    if (wildcard(view.listen))
        out << "           listening on every address of this machine (--listen " << view.listen << ")" << std::endl;
    for (const char* library : {"dygraphs/dygraph.min.js", "three/three.min.js"})
        if (!Poco::File(view.libraryRoot + "/" + library).exists())
            std::cerr << "drfn3: " << view.libraryRoot << "/" << library
                      << " is missing: the page needs Debian's libjs-dygraphs and libjs-three\n";
    if (view.open) openBrowser(server.url());
    options.observer = &server;
    int code = 0;
    try
    {
        code = run(options);
    }
    catch (...)
    {
        server.finish(std::chrono::milliseconds(500));
        throw;
    }
    server.finish();
    return code;
}

} // namespace Drfn3
