// plot's listen address as typed, the loopback hosts, the address of the
// page to open, and the Host headers a loopback server takes.
#include "mon/web/listen.h"

#include <gtest/gtest.h>

#include <string>
#include <variant>

#include "mon/web/server.h"

namespace tarlek::plot {
namespace {

TEST(PlotListen, AddressesAsTyped) {
  struct Case {
    const char* text;
    const char* host;
    uint16_t port;
  };
  const Case accepted[] = {
      {"127.0.0.1:8080", "127.0.0.1", 8080},
      {"0.0.0.0:0", "0.0.0.0", 0},
      {":9000", "127.0.0.1", 9000},
      {"localhost", "localhost", 0},
      {"[::1]:65535", "::1", 65535},
      {"[::1]", "::1", 0},
      {"::1", "::1", 0},
      {"192.168.1.2:00080", "192.168.1.2", 80},
  };
  for (const Case& c : accepted) {
    const auto parsed = ParseListen(c.text);
    ASSERT_TRUE(std::holds_alternative<ListenAddress>(parsed))
        << c.text << ": " << std::get<std::string>(parsed);
    EXPECT_EQ(std::get<ListenAddress>(parsed), (ListenAddress{c.host, c.port})) << c.text;
  }
  const char* refused[] = {"",        ":",       "host:",       "host:65536",
                           "host:-1", "host:8o", "host:123456", "[::1",
                           "[]:80",   "[::1]80", "a b:80",      "http://x:80"};
  for (const char* text : refused) {
    EXPECT_TRUE(std::holds_alternative<std::string>(ParseListen(text))) << text;
  }
}

TEST(PlotListen, LoopbackHostsAndTheAddressToOpen) {
  for (const char* host : {"127.0.0.1", "127.1.2.3", "::1", "localhost"}) {
    EXPECT_TRUE(IsLoopback(host)) << host;
  }
  for (const char* host : {"0.0.0.0", "::", "192.168.1.2", "127", "localhost.example.com",
                           "evil127.0.0.1", "127.example.com"}) {
    EXPECT_FALSE(IsLoopback(host)) << host;
  }
  EXPECT_EQ(PageUrl("127.0.0.1", 8080), "http://127.0.0.1:8080/");
  EXPECT_EQ(PageUrl("::1", 80), "http://[::1]:80/");
  EXPECT_EQ(PageUrl("0.0.0.0", 81), "http://127.0.0.1:81/");
  EXPECT_EQ(PageUrl("::", 82), "http://[::1]:82/");

  // A page of another site that reaches 127.0.0.1 under its own name is
  // turned away; a server meant for the network takes any name.
  struct Case {
    const char* header;
    bool loopback_server;
    bool accepted;
  };
  const Case cases[] = {
      {"127.0.0.1:5000", true, true}, {"localhost:5000", true, true},    {"[::1]:5000", true, true},
      {"localhost", true, true},      {"example.com:5000", true, false}, {"", true, false},
      {"[::1", true, false},          {"example.com", false, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(HostAccepted(c.header, c.loopback_server), c.accepted) << c.header;
  }
}

}  // namespace
}  // namespace tarlek::plot
