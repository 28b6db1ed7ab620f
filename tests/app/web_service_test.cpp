#include "service/web_service.hpp"

#include <gtest/gtest.h>
#include <httplib.h>

namespace velvix {
namespace {

TEST(BundledService, ServesItsPagesOnLoopbackAndNothingElse) {
    BundledService service;
    ASSERT_TRUE(service.start());
    ASSERT_TRUE(service.origin().starts_with("http://127.0.0.1:"));
    httplib::Client client(service.origin());
    for (const char* path : {"/signup.html", "/smooth.html", "/terms-of-use"}) {
        const auto page = client.Get(path);
        ASSERT_TRUE(page) << path;
        EXPECT_EQ(page->status, 200) << path;
        EXPECT_EQ(page->get_header_value("Content-Type"), "text/html; charset=utf-8");
        EXPECT_NE(page->body.find("velvix.css"), std::string::npos) << path;
    }
    const auto smooth = client.Get("/smooth.html");
    for (const char* element :
         {"id=\"username\"", "class=\"btn-logout\"", "id=\"camera-select\"", "class=\"labels\"",
          "class=\"on-txt\"", "class=\"off-txt\"", "class=\"slider\"", "id=\"smooth-level\"",
          "fixOnOffSlider", "initOnOff("}) {
        EXPECT_NE(smooth->body.find(element), std::string::npos) << element;
    }
    EXPECT_EQ(client.Get("/velvix.css")->status, 200);
    EXPECT_EQ(client.Get("/../etc/passwd")->status, 404);
    EXPECT_EQ(client.Get("/missing.html")->status, 404);
}

TEST(BundledService, TwoServicesGetTwoPortsAndStopWhenDestroyed) {
    std::string firstOrigin;
    {
        BundledService first;
        BundledService second;
        ASSERT_TRUE(first.start());
        ASSERT_TRUE(second.start());
        EXPECT_NE(first.origin(), second.origin());
        firstOrigin = first.origin();
    }
    httplib::Client client(firstOrigin);
    client.set_connection_timeout(1);
    EXPECT_FALSE(client.Get("/signup.html"));
}

}  // namespace
}  // namespace velvix
