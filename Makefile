# vantorell: an nginx module for server-side A/B experiments.
#
#   make          install build dependencies, fetch nginx, build nginx and the module
#   make run      build, then run nginx in the foreground with the demo in examples/
#   make test     build, then run the unit, integration and valgrind tests
#   make clean    remove build/

NGINX_VERSION ?= 1.18.0

BUILD     := $(CURDIR)/build
NGX_SRC   := $(BUILD)/nginx-$(NGINX_VERSION)-src
NGX_OBJS  := $(BUILD)/nginx-$(NGINX_VERSION)-objs
PREFIX    := $(BUILD)/nginx
NGINX     := $(PREFIX)/sbin/nginx
MODULE_SO := $(PREFIX)/modules/ngx_http_vantorell_module.so
PYTHON    := /usr/bin/python3

MODULE_FILES := $(wildcard module/*.cpp module/*.h) module/config

NGX_CONFIGURE_ARGS := --prefix=$(PREFIX) --builddir=$(NGX_OBJS) --with-compat \
                      --add-dynamic-module=$(CURDIR)/module

.PHONY: all build deps run test unit integration memcheck clean
all: build

build: $(NGINX) $(MODULE_SO)

deps: $(BUILD)/.deps

$(BUILD)/.deps: scripts/install-deps.sh
	bash scripts/install-deps.sh
	@mkdir -p $(BUILD) && touch $@

$(NGX_SRC)/auto/configure: scripts/fetch-nginx.sh | $(BUILD)/.deps
	bash scripts/fetch-nginx.sh $(NGINX_VERSION) $(BUILD)
	@touch $@

$(NGX_OBJS)/Makefile: $(NGX_SRC)/auto/configure module/config Makefile
	cd $(NGX_SRC) && ./configure $(NGX_CONFIGURE_ARGS) > $(BUILD)/configure-$(NGINX_VERSION).log \
	  || { tail -n 30 $(BUILD)/configure-$(NGINX_VERSION).log; exit 1; }

$(NGX_OBJS)/.built: $(NGX_OBJS)/Makefile $(MODULE_FILES)
	$(MAKE) -C $(NGX_SRC) -f $(NGX_OBJS)/Makefile -j2 binary modules
	@touch $@

$(NGINX) $(MODULE_SO): $(NGX_OBJS)/.built
	$(MAKE) -C $(NGX_SRC) -f $(NGX_OBJS)/Makefile install > /dev/null
	@touch $(NGINX) $(MODULE_SO)

# ---- unit tests: the portable core against a real nginx pool -----------------

UNIT_BIN   := $(BUILD)/unit/vantorell_unit
NGX_LIB    := $(BUILD)/unit/libngx.a
CORE_SRCS  := module/read_configuration.cpp module/targeting.cpp module/generate_random.cpp \
              module/model_cache.cpp
UNIT_SRCS  := $(wildcard tests/unit/*.cpp)
NGX_INCS   := -I$(NGX_SRC)/src/core -I$(NGX_SRC)/src/event -I$(NGX_SRC)/src/event/modules \
              -I$(NGX_SRC)/src/os/unix -I$(NGX_OBJS)
UNIT_FLAGS := -std=c++17 -g -O1 -Wall -Wextra -Werror -Imodule $(NGX_INCS)
UNIT_LIBS  := -lgtest -lpthread -ljson-c -lcrypto -lmpfr -lgmp -lpcre -lcrypt -lz

# nginx's own objects as a library; main() is renamed so the tests bring theirs.
$(NGX_LIB): $(NGX_OBJS)/.built
	@mkdir -p $(dir $@)
	objcopy --redefine-sym main=ngx_nginx_main $(NGX_OBJS)/src/core/nginx.o $(BUILD)/unit/nginx_nomain.o
	rm -f $@
	ar rcs $@ $(BUILD)/unit/nginx_nomain.o $(NGX_OBJS)/ngx_modules.o \
	  $$(find $(NGX_OBJS)/src -name '*.o' ! -path '*/src/core/nginx.o')

$(UNIT_BIN): $(UNIT_SRCS) $(CORE_SRCS) $(wildcard module/*.h tests/unit/*.h) $(NGX_LIB)
	g++ $(UNIT_FLAGS) -o $@ $(UNIT_SRCS) $(CORE_SRCS) $(NGX_LIB) $(UNIT_LIBS)

unit: $(UNIT_BIN)
	$(UNIT_BIN)

# ---- integration tests: the built nginx with the module loaded ---------------

integration: build
	$(PYTHON) -m pytest -q tests/integration

# nginx under valgrind: no memory error, nothing of the module's definitely lost
memcheck: build
	bash scripts/valgrind-check.sh

test: build unit memcheck integration

run: build
	bash scripts/run-demo.sh

clean:
	rm -rf $(BUILD)
