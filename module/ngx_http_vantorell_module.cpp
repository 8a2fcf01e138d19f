extern "C" {
#include <ngx_config.h>
#include <ngx_core.h>
#include <ngx_http.h>
}
static ngx_http_module_t ngx_http_vantorell_module_ctx = {
    NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL
};
extern "C" {
ngx_module_t ngx_http_vantorell_module = {
    NGX_MODULE_V1, &ngx_http_vantorell_module_ctx, NULL, NGX_HTTP_MODULE,
    NULL, NULL, NULL, NULL, NULL, NULL, NULL, NGX_MODULE_V1_PADDING
};
}
