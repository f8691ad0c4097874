#include <curl/curl.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "LocalHttpServer.h"
#include "server/HTTPRequest.h"
#include "support/SelfSignedCertificate.h"

namespace {

using Params = std::map<std::string, std::string>;

std::string _curl_text(CURLcode code) { return curl_easy_strerror(code); }

// The runtime error text of a GET that is expected to throw.
std::string _failure_of(const std::string& url) {
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

TEST_F(HTTPRequestTest, EmptyParametersGiveTheBareUrl) {
    server.Reply(200, "hello");
    Params none;
    HTTPResponse response = HTTPRequest::GET(server.Url().c_str(), none);
    EXPECT_EQ(std::string(response.get_request()), server.Url());
    EXPECT_EQ(server.LastTarget(), "/cgi/u");
    EXPECT_EQ(response.get_status(), 200);
    EXPECT_STREQ(response.get_response(), "hello");
}

TEST_F(HTTPRequestTest, ParametersFollowInKeyOrderEachWithAmpersand) {
    server.Reply(200, "ok\n");
    Params params{{"rv", "2"}, {"op", "hi"}};
    HTTPResponse response = HTTPRequest::GET(server.Url().c_str(), params);
    EXPECT_EQ(std::string(response.get_request()), server.Url() + "?op=hi&rv=2&");
    EXPECT_EQ(server.LastTarget(), "/cgi/u?op=hi&rv=2&");
}

TEST_F(HTTPRequestTest, ErrorStatusReturnsNormallyWithItsBody) {
    server.Reply(404, "not here");
    Params none;
    HTTPResponse response = HTTPRequest::GET(server.Url().c_str(), none);
    EXPECT_EQ(response.get_status(), 404);
    EXPECT_STREQ(response.get_response(), "not here");
}

TEST_F(HTTPRequestTest, ChunkedReplyArrivesWholeAndInOrder) {
    std::string expected;
    for (int i = 0; i < 40; ++i) expected += "chunk " + std::to_string(i) + std::string(3000, 'a' + i % 26) + "\n";
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

TEST_F(HTTPRequestTest, ReplyCutShortThrowsCurlText) {
    server.Handle([](const httplib::Request&, httplib::Response& res) {
        res.set_content_provider(1000, "text/plain", [](size_t offset, size_t, httplib::DataSink& sink) {
            if (offset > 0) return false;  // drop the connection after the first piece
            sink.write("ok\npartial", 10);
            return true;
        });
    });
    EXPECT_EQ(_failure_of(server.Url()), _curl_text(CURLE_PARTIAL_FILE));
}

TEST(HTTPRequest, RefusedConnectionThrowsCurlText) {
    EXPECT_EQ(_failure_of("http://127.0.0.1:1/cgi/u"), _curl_text(CURLE_COULDNT_CONNECT));
}

TEST(HTTPRequest, MalformedUrlThrows) {
    EXPECT_EQ(_failure_of("nope://127.0.0.1:1/x"), _curl_text(CURLE_UNSUPPORTED_PROTOCOL));
}

TEST(HTTPResponse, ProcessAppendsBytesInOrder) {
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
    void SetUp() override {
        char pattern[] = "/tmp/updater-https-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::string dir;
};

TEST_F(HTTPSRequestTest, SelfSignedCertificateNamingTheHostIsAccepted) {
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

TEST_F(HTTPSRequestTest, CertificateNamingAnotherHostIsRefused) {
    SelfSignedCertificate cert;
    ASSERT_TRUE(MakeSelfSignedCertificate(dir, "other", "other.example", cert));
    LocalHttpServer server(cert.cert, cert.key);
    ASSERT_TRUE(server.Start());
    server.Reply(200, "ok\n");
    EXPECT_EQ(_failure_of(server.Url("https")), _curl_text(CURLE_PEER_FAILED_VERIFICATION));
    EXPECT_TRUE(server.Targets().empty());
}

}  // namespace
