#include <curl/curl.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/resource.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <thread>
#include <vector>

#include "LocalHttpServer.h"
#include "server/HTTPRequest.h"
#include "support/SelfSignedCertificate.h"
#include "support/TcpListener.h"

namespace {

using Params = std::map<std::string, std::string>;

std::string _curl_text(CURLcode code)
{
    return curl_easy_strerror(code);
}

// The runtime error text of a GET that is expected to throw.
std::string _failure_of(const std::string& url)
{
    Params none;
    try {
        HTTPRequest::GET(url.c_str(), none);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "(no exception)";
}

class HTTPRequestTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.Start()); }
    LocalHttpServer server;
};

TEST_F(HTTPRequestTest, EmptyParametersGiveTheBareUrl)
{
    server.Reply(200, "hello");
    Params none;
    HTTPResponse response = HTTPRequest::GET(server.Url().c_str(), none);
    EXPECT_EQ(std::string(response.get_request()), server.Url());
    EXPECT_EQ(server.LastTarget(), "/cgi/u");
    EXPECT_EQ(response.get_status(), 200);
    EXPECT_STREQ(response.get_response(), "hello");
}

TEST_F(HTTPRequestTest, ParametersFollowInKeyOrderEachWithAmpersand)
{
    server.Reply(200, "ok\n");
    Params params{{"rv", "2"}, {"op", "hi"}};
    HTTPResponse response = HTTPRequest::GET(server.Url().c_str(), params);
    EXPECT_EQ(std::string(response.get_request()), server.Url() + "?op=hi&rv=2&");
    EXPECT_EQ(server.LastTarget(), "/cgi/u?op=hi&rv=2&");
}

TEST_F(HTTPRequestTest, ErrorStatusReturnsNormallyWithItsBody)
{
    server.Reply(404, "not here");
    Params none;
    HTTPResponse response = HTTPRequest::GET(server.Url().c_str(), none);
    EXPECT_EQ(response.get_status(), 404);
    EXPECT_STREQ(response.get_response(), "not here");
}

TEST_F(HTTPRequestTest, ChunkedReplyArrivesWholeAndInOrder)
{
    std::string expected;
    for (int i = 0; i < 40; ++i)
        expected += "chunk " + std::to_string(i) + std::string(3000, 'a' + i % 26) + "\n";
    server.Handle([](const httplib::Request&, httplib::Response& res) {
        auto sent = std::make_shared<int>(0);
        res.set_chunked_content_provider("text/plain", [sent](size_t, httplib::DataSink& sink) {
            if (*sent == 40) {
                sink.done();
                return true;
            }
            const int i = (*sent)++;
            const std::string piece = "chunk " + std::to_string(i) + std::string(3000, 'a' + i % 26) + "\n";
            sink.write(piece.data(), piece.size());
            return true;
        });
    });
    Params none;
    HTTPResponse response = HTTPRequest::GET(server.Url().c_str(), none);
    EXPECT_EQ(response.get_status(), 200);
    EXPECT_EQ(std::string(response.get_response()), expected);
}

TEST_F(HTTPRequestTest, ReplyCutShortThrowsCurlText)
{
    server.Handle([](const httplib::Request&, httplib::Response& res) {
        res.set_content_provider(1000, "text/plain", [](size_t offset, size_t, httplib::DataSink& sink) {
            if (offset > 0)
                return false;  // drop the connection after the first piece
            sink.write("ok\npartial", 10);
            return true;
        });
    });
    EXPECT_EQ(_failure_of(server.Url()), _curl_text(CURLE_PARTIAL_FILE));
}

// A reply longer than any build is refused as it arrives, announced or not, and the
// process never holds the whole of it.
TEST_F(HTTPRequestTest, OverlongReplyIsRefusedWithoutHoldingIt)
{
    constexpr size_t HUGE_REPLY = 16 * HTTPRequest::MAX_REPLY_BYTES;
    const auto provider = [](size_t offset, size_t, httplib::DataSink& sink) {
        static const std::string piece(1 << 16, 'A');
        if (offset >= HUGE_REPLY)
            sink.done();
        return offset >= HUGE_REPLY || sink.write(piece.data(), piece.size());
    };
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    server.Handle([&](const httplib::Request&, httplib::Response& res) {
        res.set_chunked_content_provider(
            "text/plain", [&](size_t offset, httplib::DataSink& sink) { return provider(offset, 0, sink); });
    });
    EXPECT_EQ(_failure_of(server.Url()), _curl_text(CURLE_WRITE_ERROR));
    server.Handle([&](const httplib::Request&, httplib::Response& res) {
        res.set_content_provider(HUGE_REPLY, "text/plain", provider);
    });
    EXPECT_EQ(_failure_of(server.Url()), _curl_text(CURLE_FILESIZE_EXCEEDED));
    getrusage(RUSAGE_SELF, &after);
    // Far below the reply, even where a sanitizer keeps freed memory in quarantine.
    EXPECT_LT((after.ru_maxrss - before.ru_maxrss) * 1024, static_cast<long>(HUGE_REPLY / 2));
}

TEST(HTTPRequest, RefusedConnectionThrowsCurlText)
{
    EXPECT_EQ(_failure_of("http://127.0.0.1:1/cgi/u"), _curl_text(CURLE_COULDNT_CONNECT));
}

TEST(HTTPRequest, MalformedUrlThrows)
{
    EXPECT_EQ(_failure_of("nope://127.0.0.1:1/x"), _curl_text(CURLE_UNSUPPORTED_PROTOCOL));
}

// Sets an environment variable for one scope and restores what was there.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name)
    {
        const char* old = std::getenv(name);
        had_ = old != nullptr;
        if (had_)
            old_ = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv()
    {
        if (had_)
            setenv(name_, old_.c_str(), 1);
        else
            unsetenv(name_);
    }

private:
    const char* name_;
    bool had_ = false;
    std::string old_;
};

TEST(HTTPRequest, StallLimitComesFromTheEnvironmentWithinItsRange)
{
    const struct {
        const char* value;
        long seconds;
    } cases[] = {
        {nullptr, 60}, {"", 60},   {"5", 5},    {"1", 1},    {"86400", 86400}, {"86401", 60},
        {"0", 60},     {"-3", 60}, {"abc", 60}, {"12x", 60}, {" 7", 7},        {"99999999999999999999", 60},
    };
    for (const auto& c : cases) {
        ScopedEnv env(HTTPRequest::STALL_LIMIT_VARIABLE, c.value);
        EXPECT_EQ(HTTPRequest::StallLimitSeconds(), c.seconds) << (c.value ? c.value : "(unset)");
    }
}

// How long a failing GET took, and its error text.
std::pair<double, std::string> _timed_failure(const std::string& url)
{
    const auto start = std::chrono::steady_clock::now();
    std::string text = _failure_of(url);
    return {std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), text};
}

TEST(HTTPRequest, PeerThatNeverAnswersTimesOut)
{
    ScopedEnv env(HTTPRequest::STALL_LIMIT_VARIABLE, "1");
    TcpListener mute;  // the kernel completes the handshake; nobody reads or answers
    ASSERT_TRUE(mute.ok());
    const auto [seconds, text] = _timed_failure("http://127.0.0.1:" + std::to_string(mute.port()) + "/cgi/u");
    EXPECT_EQ(text, _curl_text(CURLE_OPERATION_TIMEDOUT));
    EXPECT_GE(seconds, 0.9);
    EXPECT_LT(seconds, 20.0);
}

TEST(HTTPRequest, ConnectionThatIsNeverTakenTimesOut)
{
    ScopedEnv env(HTTPRequest::STALL_LIMIT_VARIABLE, "1");
    // A listener with a full queue of connections it never accepts drops further
    // handshakes, so a new connect waits for ever.
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 0), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        fillers.push_back(fd);
    }
    usleep(200 * 1000);
    const auto [seconds, text] =
        _timed_failure("http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/cgi/u");
    EXPECT_EQ(text, _curl_text(CURLE_OPERATION_TIMEDOUT));
    EXPECT_LT(seconds, 20.0);
    for (int fd : fillers)
        close(fd);
    close(listener);
}

TEST(HTTPRequest, BodyThatStopsMidwayTimesOutAndOneThatGoesOnArrivesWhole)
{
    ScopedEnv env(HTTPRequest::STALL_LIMIT_VARIABLE, "1");
    const std::string body(100000, 'x');
    // The second half follows after a pause: one that does not end fails the request
    // (libcurl judges the speed over its last few seconds, so a burst before the silence
    // adds up to about five seconds), a short one does not.
    std::atomic<int> pause_ms{-1};
    std::atomic<bool> released{false};
    LocalHttpServer server;
    ASSERT_TRUE(server.Start());
    server.Handle([&](const httplib::Request&, httplib::Response& res) {
        res.set_content_provider(body.size(), "text/plain", [&](size_t offset, size_t, httplib::DataSink& sink) {
            if (offset == 0)
                return sink.write(body.data(), body.size() / 2);
            const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(pause_ms.load());
            while (!released && (pause_ms < 0 || std::chrono::steady_clock::now() < until))
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            return sink.write(body.data() + offset, body.size() - offset);
        });
    });
    const auto [seconds, text] = _timed_failure(server.Url());
    released = true;
    EXPECT_EQ(text, _curl_text(CURLE_OPERATION_TIMEDOUT));
    EXPECT_GE(seconds, 0.9);
    EXPECT_LT(seconds, 20.0);

    released = false;
    pause_ms = 300;
    Params none;
    HTTPResponse response = HTTPRequest::GET(server.Url().c_str(), none);
    EXPECT_EQ(std::string(response.get_response()), body);
}

TEST(HTTPResponse, ProcessAppendsBytesInOrder)
{
    HTTPResponse response("http://x/");
    EXPECT_EQ(response.get_status(), 0);
    EXPECT_STREQ(response.get_response(), "");
    response.process("abcdef", 3);
    response.process("xyz", 3);
    EXPECT_STREQ(response.get_response(), "abcxyz");
    EXPECT_STREQ(response.get_request(), "http://x/");
    const char chunk[] = "12345";
    EXPECT_EQ(HTTPResponse::_rcv_data((void*)chunk, 1, 5, &response), 5u);
    EXPECT_STREQ(response.get_response(), "abcxyz12345");
}

class HTTPSRequestTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/updater-https-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::string dir;
};

TEST_F(HTTPSRequestTest, SelfSignedCertificateNamingTheHostIsAccepted)
{
    SelfSignedCertificate cert;
    ASSERT_TRUE(MakeSelfSignedCertificate(dir, "good", "127.0.0.1", cert));
    LocalHttpServer server(cert.cert, cert.key);
    ASSERT_TRUE(server.Start());
    server.Reply(200, "ok secure\n");
    Params params{{"op", "hi"}};
    HTTPResponse response = HTTPRequest::GET(server.Url("https").c_str(), params);
    EXPECT_EQ(response.get_status(), 200);
    EXPECT_STREQ(response.get_response(), "ok secure\n");
    EXPECT_EQ(server.LastTarget(), "/cgi/u?op=hi&");
}

TEST_F(HTTPSRequestTest, CertificateNamingAnotherHostIsRefused)
{
    SelfSignedCertificate cert;
    ASSERT_TRUE(MakeSelfSignedCertificate(dir, "other", "other.example", cert));
    LocalHttpServer server(cert.cert, cert.key);
    ASSERT_TRUE(server.Start());
    server.Reply(200, "ok\n");
    EXPECT_EQ(_failure_of(server.Url("https")), _curl_text(CURLE_PEER_FAILED_VERIFICATION));
    EXPECT_TRUE(server.Targets().empty());
}

// Send: the method, headers and body go out as given; the body of a 2xx reply
// goes to the sink, that of any other reply stays in the response.
TEST(HTTPRequestSend, MethodsHeadersBodiesAndSink)
{
    httplib::Server server;
    std::string seen;
    auto echo = [&](const httplib::Request& request, httplib::Response& response) {
        seen = request.method + " " + request.get_header_value("Content-Type") + " " + request.body;
        response.status = request.body == "fail" ? 409 : 200;
        response.set_header("Content-Range", "bytes 0-1/2");
        response.set_content("answer:" + request.body, "application/json");
    };
    server.Put("/r", echo);
    server.Post("/r", echo);
    server.Get("/r", echo);
    const int port = server.bind_to_any_port("127.0.0.1");
    ASSERT_GT(port, 0);
    std::thread loop([&] { server.listen_after_bind(); });
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/r";
    const struct {
        const char* method;
        const char* body;
        bool sink;
        long status;
        const char* response;
        const char* sunk;
    } cases[] = {
        {"PUT", "{\"a\":1}", false, 200, "answer:{\"a\":1}", ""},
        {"POST", "{}", true, 200, "", "answer:{}"},
        {"POST", "fail", true, 409, "answer:fail", ""},
        {"GET", "", true, 200, "", "answer:"},
    };
    for (const auto& c : cases) {
        HTTPExchange exchange;
        exchange.method = c.method;
        exchange.body = c.body;
        exchange.headers = {"Content-Type: application/json"};
        std::string sunk;
        if (c.sink)
            exchange.sink = [&](const char* data, unsigned long length) {
                sunk.append(data, length);
                return true;
            };
        HTTPResponse response = HTTPRequest::Send(url, exchange);
        EXPECT_EQ(response.get_status(), c.status) << c.method;
        EXPECT_STREQ(response.get_response(), c.response) << c.method;
        EXPECT_EQ(sunk, c.sunk) << c.method;
        EXPECT_EQ(response.get_header("content-range"), "bytes 0-1/2");
        if (*c.body) {
            EXPECT_EQ(seen, std::string(c.method) + " application/json " + c.body);
        }
    }
    while (!server.is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    server.stop();
    loop.join();
}

}  // namespace
