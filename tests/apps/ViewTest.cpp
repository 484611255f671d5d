// drfn3's live view: its HTTP routes and WebSocket over loopback, fed by a stream of the
// simulator in virtual time or by batches made here.
#include "SimControllerFactory.h"
#include "View.h"

#include <Drfn3/Host.h>
#include <Poco/Environment.h>
#include <Poco/JSON/Parser.h>
#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/WebSocket.h>
#include <Poco/StreamCopier.h>
#include <Poco/TemporaryFile.h>
#include <Tarnlink/ControllerEnum.h>
#include <Tarnlink/ControllerFactory.h>
#include <Tarnlink/ControllerV2.h>
#include <Tarnlink/Sim/ScopedVirtualSleep.h>
#include <Tarnlink/Sim/Simulator.h>
#include <Tarnlink/Sim/VirtualChannel.h>

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <map>

using namespace Drfn3;
using namespace std::chrono_literals;
using Poco::JSON::Array;
using Poco::JSON::Object;
using Poco::Net::HTTPRequest;
using Poco::Net::HTTPResponse;
using Poco::Net::WebSocket;
namespace Sim = Tarnlink::Sim;

namespace {

ViewOptions options()
{
    ViewOptions o;
    o.webRoot = DRFN3_WEB_ROOT;
    return o;
}

struct Reply
{
    int status = 0;
    std::string body;
    HTTPResponse response;
};

Reply get(unsigned port, const std::string& uri, const std::string& method = HTTPRequest::HTTP_GET)
{
    Poco::Net::HTTPClientSession session("127.0.0.1", static_cast<Poco::UInt16>(port));
    HTTPRequest request(method, uri, HTTPRequest::HTTP_1_1);
    session.sendRequest(request);
    Reply reply;
    std::istream& in = session.receiveResponse(reply.response);
    Poco::StreamCopier::copyToString(in, reply.body);
    reply.status = reply.response.getStatus();
    return reply;
}

/// A WebSocket client as a browser tab is one.
class Tab
{
public:
    Tab(unsigned port, const std::string& query, const std::string& origin)
        : _session(std::make_unique<Poco::Net::HTTPClientSession>("127.0.0.1", static_cast<Poco::UInt16>(port)))
    {
        HTTPRequest request(HTTPRequest::HTTP_GET, "/ws" + query, HTTPRequest::HTTP_1_1);
        if (!origin.empty()) request.set("Origin", origin);
        try
        {
            _ws = std::make_unique<WebSocket>(*_session, request, response);
            _ws->setReceiveTimeout(Poco::Timespan(10, 0));
        }
        catch (const Poco::Net::WebSocketException&)
        {
        }
    }
    bool open() const { return _ws != nullptr; }
    WebSocket& socket() { return *_ws; }

    /// The next message; null once the server closed.
    Object::Ptr next()
    {
        Poco::Buffer<char> buffer(0);
        int flags = 0;
        const int n = _ws->receiveFrame(buffer, flags);
        if (n <= 0 || (flags & WebSocket::FRAME_OP_BITMASK) == WebSocket::FRAME_OP_CLOSE) return nullptr;
        return Poco::JSON::Parser().parse(std::string(buffer.begin(), buffer.size())).extract<Object::Ptr>();
    }
    /// Every message until the server's end, which is the last.
    std::vector<Object::Ptr> untilEnd()
    {
        std::vector<Object::Ptr> all;
        for (Object::Ptr m = next(); m; m = next())
        {
            all.push_back(m);
            if (m->getValue<std::string>("type") == "end") break;
        }
        return all;
    }

    HTTPResponse response;

private:
    std::unique_ptr<Poco::Net::HTTPClientSession> _session;
    std::unique_ptr<WebSocket> _ws;
};

std::string origin(const ViewServer& server)
{
    return "http://127.0.0.1:" + std::to_string(server.port());
}

std::string query(const ViewServer& server, const std::string& more = "")
{
    return "?token=" + server.token() + more;
}

std::vector<std::string> types(const std::vector<Object::Ptr>& messages)
{
    std::vector<std::string> all;
    for (const auto& m : messages) all.push_back(m->getValue<std::string>("type"));
    return all;
}

Sample made(unsigned serial, std::int64_t frame)
{
    Sample s;
    s.serial = serial;
    s.frame = frame;
    s.time = frame / 100.0;
    s.ax = 0.5 * static_cast<double>(frame);
    return s;
}

} // namespace

TEST(ViewServer, RoutesNeedTheTokenAndTheSocketThePagesOwnOrigin)
{
    // Libraries of our own making stand in for Debian's: one there, one missing.
    Poco::TemporaryFile libraries;
    libraries.createDirectories();
    Poco::File(libraries.path() + "/dygraphs").createDirectories();
    std::ofstream(libraries.path() + "/dygraphs/dygraph.min.js") << "var Dygraph;";
    ViewOptions o = options();
    o.libraryRoot = libraries.path();
    o.maxClients = 1;
    ViewServer server(o);
    const unsigned port = server.port();
    ASSERT_EQ(32u, server.token().size());
    EXPECT_EQ("http://127.0.0.1:" + std::to_string(port) + "/?token=" + server.token(), server.url());
    std::string wrong = server.token();
    wrong.back() = wrong.back() == '0' ? '1' : '0';

    for (const std::string& uri :
         std::vector<std::string>{"/", "/?token=" + wrong, "/view.js", "/?token=", "/ws?token=" + wrong})
        EXPECT_EQ(403, get(port, uri).status) << uri;

    const Reply page = get(port, "/" + query(server));
    ASSERT_EQ(200, page.status);
    EXPECT_NE(std::string::npos, page.body.find("/view.js?token=" + server.token())) << page.body;
    EXPECT_EQ(std::string::npos, page.body.find("{{TOKEN}}"));
    EXPECT_EQ("no-referrer", page.response.get("Referrer-Policy", ""));
    EXPECT_NE(std::string::npos, page.response.get("Content-Security-Policy", "").find("frame-ancestors 'none'"));
    EXPECT_EQ("text/javascript; charset=utf-8", get(port, "/view.js" + query(server)).response.getContentType());
    EXPECT_EQ("var Dygraph;", get(port, "/lib/dygraph.min.js" + query(server)).body);
    EXPECT_EQ(404, get(port, "/lib/three.min.js" + query(server)).status);
    for (const char* elsewhere : {"/lib/../../../etc/passwd", "/index.html", "/lib/dygraphs/dygraph.min.js"})
        EXPECT_EQ(404, get(port, elsewhere + query(server)).status) << elsewhere;
    EXPECT_EQ(405, get(port, "/" + query(server), HTTPRequest::HTTP_POST).status);
    const Reply head = get(port, "/view.js" + query(server), HTTPRequest::HTTP_HEAD);
    EXPECT_EQ(200, head.status);
    EXPECT_TRUE(head.body.empty());

    // Another page of the same browser, or a socket that names no page, gets nothing.
    for (const std::string& from :
         {std::string("http://example.org"), std::string("http://127.0.0.1:1"), std::string("null"), std::string()})
    {
        Tab tab(port, query(server), from);
        EXPECT_FALSE(tab.open()) << from;
        EXPECT_EQ(403, tab.response.getStatus()) << from;
    }
    Tab tokenless(port, "", origin(server));
    EXPECT_FALSE(tokenless.open());

    Tab tab(port, query(server), origin(server));
    ASSERT_TRUE(tab.open());
    const Object::Ptr hello = tab.next();
    EXPECT_EQ("hello", hello->getValue<std::string>("type"));
    EXPECT_FALSE(hello->getValue<bool>("streaming"));
    EXPECT_EQ(33, hello->getValue<int>("interval_ms"));
    ASSERT_TRUE(server.waitForClients(1, 5s));
    Tab oneTooMany(port, query(server), origin(server));
    EXPECT_FALSE(oneTooMany.open());
    EXPECT_EQ(503, oneTooMany.response.getStatus());
}

TEST(ViewServer, EveryBrowserGetsWhatTheCsvHoldsOfAStreamFromTheSimulator)
{
    Sim::Simulator simulator;
    Sim::ScopedVirtualSleep sleep(simulator);
    Poco::Environment::set("ORLAN_TARNLINK_PORTS", "");
    simulator.addPod(0xA10001);
    simulator.addPod(0xA10002);
    const int key = Tarnlink::ControllerEnum::addSource([&simulator] {
        return std::vector<Poco::AutoPtr<Tarnlink::ControllerFactory>>{
            Poco::AutoPtr<Tarnlink::ControllerFactory>(new Tests::SimControllerFactory(simulator))};
    });
    Settings settings;
    settings.module = DRFN3_MODULE_PATH;
    settings.ephemeral = true;
    settings.pods = "A10001,A10002";
    settings.podsGiven = true;
    settings.frequency = 100;

    ViewOptions o = options();
    // Room for everything the simulator sends as fast as virtual time goes.
    o.queueCapacity = 1 << 16;
    ViewServer server(o);
    Tab plain(server.port(), query(server), origin(server));
    Tab stamped(server.port(), query(server, "&stamps=1"), origin(server));
    ASSERT_TRUE(plain.open() && stamped.open());
    ASSERT_TRUE(server.waitForClients(2, 5s));

    Poco::TemporaryFile csv;
    StreamOptions stream;
    stream.seconds = 0.1;
    stream.refresh = 0.05;
    stream.csv = csv.path();
    stream.observer = &server;
    {
        Host host(settings);
        Drfn3::stream(host, stream);
    }
    Tarnlink::ControllerEnum::removeSource(key);
    server.finish(0ms);

    // time, frame and the nine values of each row, as the CSV writes them.
    std::map<std::string, std::vector<std::vector<double>>> written;
    std::ifstream in(csv.path());
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line))
    {
        std::vector<std::string> cells;
        std::stringstream cellsOf(line);
        for (std::string cell; std::getline(cellsOf, cell, ',');) cells.push_back(cell);
        ASSERT_EQ(15u, cells.size()) << line;
        std::vector<double> row{std::stod(cells[0]), std::stod(cells[11])};
        for (int k = 2; k < 11; ++k) row.push_back(std::stod(cells[k]));
        written[cells[1]].push_back(row);
    }
    ASSERT_EQ(2u, written.size());

    for (Tab* tab : {&plain, &stamped})
    {
        const std::vector<Object::Ptr> messages = tab->untilEnd();
        const std::vector<std::string> kinds = types(messages);
        ASSERT_GE(kinds.size(), 4u);
        EXPECT_EQ("hello", kinds[0]);
        EXPECT_EQ("run", kinds[1]);
        EXPECT_EQ("end", kinds.back());
        EXPECT_EQ("A10002", messages[1]->getArray("pods")->getElement<std::string>(1));
        EXPECT_EQ("m/s^2", messages[1]->getObject("unit")->getValue<std::string>("a"));

        std::map<std::string, std::vector<std::vector<double>>> received;
        Object::Ptr final;
        for (const Object::Ptr& m : messages)
        {
            const std::string type = m->getValue<std::string>("type");
            if (type == "status") final = m;
            if (type != "samples") continue;
            EXPECT_EQ(0, m->getValue<int>("missed"));
            EXPECT_EQ(tab == &stamped, m->has("sent"));
            const Array::Ptr pods = m->getArray("pods");
            for (std::size_t p = 0; p < pods->size(); ++p)
            {
                const Object::Ptr pod = pods->getObject(static_cast<unsigned>(p));
                const Array::Ptr t = pod->getArray("t"), frame = pod->getArray("frame");
                EXPECT_EQ(tab == &stamped, pod->has("arrival"));
                EXPECT_FALSE(pod->has("q"));
                for (std::size_t i = 0; i < t->size(); ++i)
                {
                    std::vector<double> row{t->getElement<double>(static_cast<unsigned>(i)),
                                            frame->getElement<double>(static_cast<unsigned>(i))};
                    for (const char* sensor : {"a", "m", "g"})
                        for (unsigned k = 0; k < 3; ++k)
                            row.push_back(pod->getArray(sensor)->getElement<double>(static_cast<unsigned>(3 * i + k)));
                    received[pod->getValue<std::string>("pod")].push_back(row);
                }
            }
        }
        EXPECT_EQ(written, received);

        // The final numbers count every sample, also those after the last refresh.
        ASSERT_TRUE(final);
        EXPECT_TRUE(final->getValue<bool>("final"));
        const Array::Ptr pods = final->getArray("pods");
        ASSERT_EQ(2u, pods->size());
        for (unsigned p = 0; p < 2; ++p)
        {
            const Object::Ptr pod = pods->getObject(p);
            const auto& rows = written[pod->getValue<std::string>("pod")];
            EXPECT_EQ(rows.size(), pod->getValue<std::size_t>("samples"));
            EXPECT_EQ(rows.back()[1], pod->getValue<double>("frame"));
        }
    }
    EXPECT_TRUE(server.waitForClients(0, 5s));
}

TEST(ViewServer, AStalledBrowserCostsTheStreamNothingAndIsToldWhatItMissed)
{
    ViewOptions o = options();
    o.interval = 5ms;
    o.queueCapacity = 256;
    o.sendBuffer = 16384;
    ViewServer server(o);
    Tab tab(server.port(), query(server), origin(server));
    ASSERT_TRUE(tab.open());
    ASSERT_EQ("hello", tab.next()->getValue<std::string>("type"));
    ASSERT_TRUE(server.waitForClients(1, 5s));

    // Full queues until the browser's thread stops emptying them: it is stuck in a send
    // that the tab, reading nothing, does not take.
    std::int64_t frame = 0;
    std::vector<Sample> batch(o.queueCapacity);
    auto next = [&] {
        for (Sample& s : batch) s = made(0xA10001, ++frame);
        server.samples(batch);
    };
    bool stalled = false;
    for (int i = 0; i < 2000 && !stalled; ++i)
    {
        next();
        stalled = !server.waitForDrained(200ms);
    }
    ASSERT_TRUE(stalled);

    // The stream goes on; each sample past the bound drops the oldest, counted.
    const ViewServer::Stats before = server.stats();
    for (int i = 0; i < 1000; ++i) next();
    const ViewServer::Stats after = server.stats();
    EXPECT_EQ(1000u * o.queueCapacity, after.dropped - before.dropped);
    EXPECT_EQ(o.queueCapacity, after.queued);

    // Read again, the tab has every sample it was sent, newest last, and the count of the rest.
    server.finish(0ms);
    std::uint64_t received = 0, missed = 0;
    std::int64_t last = 0;
    for (const Object::Ptr& m : tab.untilEnd())
    {
        if (m->getValue<std::string>("type") != "samples") continue;
        missed += m->getValue<std::uint64_t>("missed");
        const Array::Ptr frames = m->getArray("pods")->getObject(0)->getArray("frame");
        for (std::size_t i = 0; i < frames->size(); ++i)
        {
            const auto f = frames->getElement<std::int64_t>(static_cast<unsigned>(i));
            EXPECT_GT(f, last);
            last = f;
        }
        received += frames->size();
    }
    EXPECT_EQ(static_cast<std::uint64_t>(frame), received + missed);
    EXPECT_EQ(frame, last);
    EXPECT_EQ(after.dropped, missed);
}

TEST(ViewServer, ClosedTabsAreForgottenTheOthersHearOfTheControllerAndOrientation)
{
    ViewOptions o = options();
    o.interval = 5ms;
    ViewServer server(o);
    server.started({0xA10001, 0xB2}, Units::Raw);
    Tab staying(server.port(), query(server), origin(server));
    Tab closing(server.port(), query(server), origin(server));
    Tab dropping(server.port(), query(server), origin(server));
    ASSERT_TRUE(server.waitForClients(3, 5s));
    closing.socket().shutdown();
    dropping.socket().close();
    ASSERT_TRUE(server.waitForClients(1, 5s));

    // The reader's estimate as it comes in the samples: level, then turned a quarter to the
    // left about z. The page draws the pod as it is now: its last.
    Sample level = made(0xA10001, 6), turned = made(0xA10001, 7);
    level.hasOrientation = turned.hasOrientation = true;
    turned.ay = std::nan("");
    turned.qw = turned.qz = std::sqrt(0.5);
    turned.yaw = 90;
    server.samples({level, made(0xB2, 3), turned});
    server.controllerLost();
    Tab late(server.port(), query(server), origin(server));
    server.controllerBack();
    server.finish(0ms);

    const std::vector<Object::Ptr> messages = staying.untilEnd();
    EXPECT_EQ((std::vector<std::string>{"hello", "samples", "controller", "controller", "status", "end"}),
              types(messages));
    EXPECT_EQ("raw", messages[0]->getValue<std::string>("units"));
    EXPECT_EQ("counts", messages[0]->getObject("unit")->getValue<std::string>("g"));
    // Pods in the run's order, whatever order their samples came in.
    const Array::Ptr pods = messages[1]->getArray("pods");
    ASSERT_EQ(2u, pods->size());
    const Object::Ptr a = pods->getObject(0), b = pods->getObject(1);
    EXPECT_EQ("A10001", a->getValue<std::string>("pod"));
    EXPECT_EQ("B2", b->getValue<std::string>("pod"));
    EXPECT_TRUE(a->getArray("a")->isNull(4)) << "NaN is null";
    EXPECT_EQ(4.0, a->getArray("a")->getElement<double>(3)) << "raw counts, whole";
    const Array::Ptr q = a->getArray("q"), rpy = a->getArray("rpy");
    ASSERT_EQ(4u, q->size());
    ASSERT_EQ(3u, rpy->size());
    for (unsigned k = 0; k < 4; ++k)
        EXPECT_NEAR(k % 3 == 0 ? std::sqrt(0.5) : 0.0, q->getElement<double>(k), 1e-5) << k;
    EXPECT_EQ(90.0, rpy->getElement<double>(2));
    EXPECT_FALSE(b->has("q") || b->has("rpy"));
    EXPECT_EQ("lost", messages[2]->getValue<std::string>("state"));
    EXPECT_EQ("back", messages[3]->getValue<std::string>("state"));

    // A tab opened while the controller was away is told so at once.
    ASSERT_TRUE(late.open());
    const Object::Ptr hello = late.next();
    EXPECT_EQ("lost", hello->getValue<std::string>("controller"));
    EXPECT_TRUE(hello->getValue<bool>("streaming"));
    EXPECT_TRUE(server.waitForClients(0, 5s));
}
