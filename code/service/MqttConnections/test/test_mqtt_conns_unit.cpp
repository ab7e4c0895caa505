#include <gtest/gtest.h>

extern "C" int gravel_mqttconns_c_header_probe(void);

TEST(CHeader, CompilesAndLinksAsC) {
    EXPECT_EQ(gravel_mqttconns_c_header_probe(), 1);
}
