// Which Host and Origin a request may name: the address served, localhost
// and the names allowed, each with the port served; and where links lead.
#include <gtest/gtest.h>

#include "allowed_hosts.h"

TEST(allowed_hosts, only_our_own_names_and_addresses_with_our_port_are_answered)
{
    struct row {
        const char* listen;
        const char* host;
        bool allowed;
    };
    const row rows[] = {
        {"127.0.0.1", "127.0.0.1:8080", true},
        {"127.0.0.1", "localhost:8080", true},
        {"127.0.0.1", "LocalHost.:8080", true},
        {"127.0.0.1", "chase.local:8080", true},  // --allow-host
        {"127.0.0.1", "127.0.0.1:8081", false},
        {"127.0.0.1", "127.0.0.1", false},  // port 80 only may go unsaid
        {"127.0.0.1", "192.168.1.5:8080", false},
        {"127.0.0.1", "attacker.example:8080", false},  // DNS rebinding
        {"127.0.0.1", "localhost.attacker.example:8080", false},
        {"127.0.0.1", "", false},
        {"127.0.0.1", "127.0.0.1:", false},
        {"127.0.0.1", "127.0.0.1:8080:8080", false},
        {"127.0.0.1", "[::1]:8080", false},
        {"0.0.0.0", "192.168.1.5:8080", true},  // any address of this computer
        {"0.0.0.0", "[fe80::1]:8080", true},
        {"0.0.0.0", "laptop:8080", false},
        {"0.0.0.0", "[laptop]:8080", false},
        {"::1", "[0:0::1]:8080", true},
        {"::1", "[::2]:8080", false},
        {"laptop.lan", "Laptop.Lan:8080", true},  // the name listened on
    };
    for (const row& r : rows) {
        const allowed_hosts hosts{r.listen, 8080, {"chase.local"}};
        EXPECT_EQ(host_allowed(hosts, r.host), r.allowed) << r.listen << " " << r.host;
    }
    const allowed_hosts web{"0.0.0.0", 80, {}};
    EXPECT_TRUE(host_allowed(web, "localhost"));
    EXPECT_TRUE(host_allowed(web, "localhost:80"));

    const allowed_hosts hosts{"127.0.0.1", 8080, {"chase.local"}};
    EXPECT_TRUE(origin_allowed(hosts, "http://chase.local:8080"));
    for (const char* origin : {"null", "https://127.0.0.1:8080", "http://attacker.example:8080",
                               "http://127.0.0.1:8080/x", "http://127.0.0.1:9999"}) {
        EXPECT_FALSE(origin_allowed(hosts, origin)) << origin;
    }
}

TEST(allowed_hosts, links_lead_to_an_allowed_name_or_the_address_reached)
{
    const allowed_hosts one{"127.0.0.1", 8080, {"chase.local"}};
    EXPECT_EQ(link_host(one, "CHASE.local:8080", "127.0.0.1"), "chase.local:8080");
    EXPECT_EQ(link_host(one, "localhost:8080", "127.0.0.1"), "localhost:8080");
    EXPECT_EQ(link_host(one, "127.0.0.1:8080", "127.0.0.1"), "127.0.0.1:8080");
    const allowed_hosts every{"0.0.0.0", 8080, {}};
    EXPECT_EQ(link_host(every, "10.0.0.9:8080", "192.168.1.5"), "192.168.1.5:8080");
    EXPECT_EQ(link_host(allowed_hosts{"::", 8080, {}}, "[::1]:8080", "::1"), "[::1]:8080");
}
