// The daemon's proxy from its environment: which servers no_proxy sends
// straight to the server and which go through http_proxy.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "app/linux/environment_proxy.h"

namespace {

struct NoProxyCase {
    const char* noProxy;
    const char* host;
    int port;
    bool direct;
};

TEST(EnvironmentProxy, NoProxyCoversNamesBySuffixAddressesExactlyOrByRangeAndAPortWhenGiven)
{
    const NoProxyCase cases[] = {
        {"*", "print.example.com", 7000, true},
        {"example.com", "print.example.com", 7000, true},
        {" .EXAMPLE.com ", "Print.Example.Com", 7000, true},
        {"*.example.com", "example.com", 7000, true},
        {"ample.com", "print.example.com", 7000, false},
        {"localhost, 127.0.0.1", "127.0.0.1", 7000, true},
        // Names cover no address, and an address only itself.
        {"2.3", "10.1.2.3", 7000, false},
        {"1.2.3", "10.1.2.3", 7000, false},
        {"10.1.2.30", "10.1.2.3", 7000, false},
        {"127.0.0.1", "127.1", 7000, true},
        {"10.0.0.0/8", "10.1.2.3", 7000, true},
        {"10.1.2.0/31", "10.1.2.3", 7000, false},
        {"10.1.2.3/32", "10.1.2.3", 7000, true},
        {"0.0.0.0/0", "192.168.9.9", 7000, true},
        {"192.168.0.0/33", "192.168.9.9", 7000, false},
        {"192.168.0.0/x", "192.168.9.9", 7000, false},
        {"10.0.0.0/8", "ten.example.com", 7000, false},
        {"::1, [::1]:7000, fe80::/10", "127.0.0.1", 7000, false},
        // A port limits the entry to it.
        {"print.example.com:7000", "print.example.com", 7000, true},
        {"print.example.com:7001", "print.example.com", 7000, false},
        {"10.1.2.3:7000", "10.1.2.3", 7000, true},
        {"10.0.0.0/8:80", "10.1.2.3", 7000, false},
        {"10.0.0.0/8:7000", "10.1.2.3", 7000, true},
    };
    for (const char* name : {"http_proxy", "HTTP_PROXY", "no_proxy", "NO_PROXY"})
        unsetenv(name);
    setenv("http_proxy", "proxy.example.com:3128", 1);
    for (const NoProxyCase& row : cases) {
        SCOPED_TRACE(std::string(row.noProxy) + " for " + row.host + ":" + std::to_string(row.port));
        setenv("no_proxy", row.noProxy, 1);
        std::string proxy;
        std::string problem;
        ASSERT_TRUE(ProxyFromEnvironment(row.host, row.port, false, &proxy, &problem)) << problem;
        EXPECT_EQ(proxy, row.direct ? "" : "proxy.example.com:3128");
    }
    unsetenv("http_proxy");
    unsetenv("no_proxy");
}

}  // namespace
