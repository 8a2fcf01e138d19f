// A real nginx memory pool, outside nginx, for nginx's own parsers that the
// tool and the cookie fuzz target call: the request line's parser and the
// cookie lookup take their memory from one.
#ifndef VANTORELL_NGINX_POOL_H
#define VANTORELL_NGINX_POOL_H

extern "C" {
#include <ngx_config.h>
#include <ngx_core.h>
}

#include <unistd.h>

class NginxPool {
public:
    explicit NginxPool(size_t size = 4096) {
        if (ngx_pagesize == 0) {
            ngx_pagesize = getpagesize();
            ngx_cacheline_size = NGX_CPU_CACHE_LINE;
        }
        file_.fd = STDERR_FILENO;
        log_.file = &file_;
        log_.log_level = NGX_LOG_WARN;
        pool_ = ngx_create_pool(size, &log_);
    }
    ~NginxPool() {
        if (pool_ != nullptr) {
            ngx_destroy_pool(pool_);
        }
    }
    NginxPool(const NginxPool &) = delete;
    NginxPool &operator=(const NginxPool &) = delete;

    ngx_pool_t *get() const { return pool_; }

private:
    ngx_open_file_t file_{};
    ngx_log_t log_{};
    ngx_pool_t *pool_ = nullptr;
};

#endif
