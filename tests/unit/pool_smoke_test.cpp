#include <gtest/gtest.h>
#include "nginx_pool.h"

TEST(NginxPool, AllocatesFromARealPool) {
    NginxPool pool;
    ASSERT_NE(pool.get(), nullptr);
    void *p = ngx_palloc(pool.get(), 100000);  // large block path too
    EXPECT_NE(p, nullptr);
    EXPECT_NE(ngx_palloc(pool.get(), 16), nullptr);
}
