#include "pages/navigation_policy.h"
#include "pages/zoom.h"
#include "platform/gtk/url_glib.h"

#include <gtest/gtest.h>

#include <vector>

namespace quorva {
namespace {

TEST(NavigationPolicy, OnlyLoopbackNamesAndInPageSchemesStay)
{
    GlibUrlParser parser;
    struct Case {
        const char* url;
        NavigationDecision decision;
    };
    const auto allow = NavigationDecision::Allow;
    const auto out = NavigationDecision::HandOver;
    const std::vector<Case> cases = {
        {"http://127.0.0.1:8765/", allow},
        {"http://127.0.0.1:1/items?q=x#top", allow},
        {"https://localhost/", allow},
        {"https://localhost:9443/a/b", allow},
        {"HTTP://127.0.0.1/", allow},
        {"Https://localhost/", allow},
        {"http://user:pw@127.0.0.1/", allow},
        {"about:blank", allow},
        {"about:srcdoc", allow},
        {"data:text/html,<p>x</p>", allow},
        {"blob:http://127.0.0.1:8765/0b1c", allow},
        {"blob:https://evil.example/0b1c", allow},
        {"http://127.0.0.1.evil.example/", out},
        {"http://localhost./", out},
        {"http://LOCALHOST/", out},
        {"http://127.0.0.2/", out},
        {"http://[::1]:8765/", out},
        {"http://0.0.0.0:8765/", out},
        {"http://127.0.0.1@evil.example/", out},
        {"http://evil.example#@127.0.0.1", out},
        {"http://evil.example/?next=http://127.0.0.1/", out},
        {"https://example.com/", out},
        {"file:///etc/passwd", out},
        {"file://localhost/etc/passwd", out},
        {"mailto:shop@localhost", out},
        {"ftp://localhost/pub", out},
        {"ws://127.0.0.1:8765/", out},
    };
    for (const auto& c : cases) {
        const auto url = parser.parse(c.url);
        ASSERT_TRUE(url) << c.url;
        EXPECT_EQ(decideNavigation(url), c.decision) << c.url;
    }
    EXPECT_EQ(decideNavigation(std::nullopt), allow);
}

std::vector<std::string> factorsAfter(double start, double (*step)(double), int times)
{
    std::vector<std::string> texts;
    double zoom = start;
    for (int i = 0; i < times; ++i) {
        zoom = step(zoom);
        const std::string script = zoomScript(zoom);
        texts.push_back(script.substr(37, script.size() - 38));
    }
    return texts;
}

TEST(Zoom, StepsCarryTheRepresentationErrorOfOneTenth)
{
    EXPECT_EQ(factorsAfter(1.0, zoomedIn, 11),
              (std::vector<std::string>{"1.1", "1.2000000000000002", "1.3000000000000003",
                                        "1.4000000000000004", "1.5000000000000004",
                                        "1.6000000000000005", "1.7000000000000006",
                                        "1.8000000000000007", "1.9000000000000008", "2.0",
                                        "2.0"}));
    EXPECT_EQ(factorsAfter(1.0, zoomedOut, 6),
              (std::vector<std::string>{"0.9", "0.8", "0.7000000000000001",
                                        "0.6000000000000001", "0.6", "0.6"}));
    EXPECT_EQ(factorsAfter(2.0, zoomedOut, 15),
              (std::vector<std::string>{
                  "1.9", "1.7999999999999998", "1.6999999999999997", "1.5999999999999996",
                  "1.4999999999999996", "1.3999999999999995", "1.2999999999999994",
                  "1.1999999999999993", "1.0999999999999992", "0.9999999999999992",
                  "0.8999999999999992", "0.7999999999999993", "0.6999999999999993", "0.6",
                  "0.6"}));
    EXPECT_EQ(zoomedOut(zoomedIn(1.0)), 1.0);
}

}  // namespace
}  // namespace quorva
