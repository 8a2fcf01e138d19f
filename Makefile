# vantorell: an nginx module for server-side A/B experiments.
#
#   make          install build dependencies, fetch nginx, build nginx and the module
#   make run      build, then run nginx in the foreground with the demo in examples/
#   make test     build, then run the unit, integration and valgrind tests
#   make test-all build every supported nginx release, run the unit tests, the
#                 integration tests against each release and the check against
#                 Debian's own nginx package
#   make fuzz     build the libFuzzer targets of tests/fuzz/ and run each for
#                 FUZZ_SECONDS (default 120); make fuzz-smoke: 30 s each
#   make bench    build, then measure requests/s with wrk (results in build/bench/)
#   make test-sanitize  nginx 1.18.0 and the module with ASan and UBSan in
#                 build/sanitize-1.18.0/, and the integration suite against them
#   make soak     build, then a million requests with wrk while the data file
#                 changes every 100 ms and nginx reloads (about a minute)
#   make deb      the Debian packages libnginx-mod-http-vantorell and
#                 vantorell-check for Debian's own nginx, in build/deb/, lintian-clean
#   make deb-check  (root) installs them, takes a visitor through the installed
#                 nginx, reloads, removes and purges, leaving nginx as it was
#   make deb DEBIAN_RELEASE=trixie, make deb-check DEBIAN_RELEASE=trixie
#                 (root) the same for Debian 13, inside Debian 13 roots made
#                 under build/roots/, into build/deb/trixie/
#   make clean    remove build/
#
# NGINX_VERSION picks the release (make NGINX_VERSION=1.22.1 build|integration|run);
# each release builds into build/nginx-<version>/, and build/nginx links to the
# default release's build.

NGINX_DEFAULT  := 1.18.0
NGINX_VERSIONS := 1.18.0 1.22.1 1.26.3
NGINX_VERSION  ?= $(NGINX_DEFAULT)

BUILD     := $(CURDIR)/build
PREFIX    := $(BUILD)/nginx-$(NGINX_VERSION)
NGINX     := $(PREFIX)/sbin/nginx
MODULE_SO := $(PREFIX)/modules/ngx_http_vantorell_module.so
PYTHON    := /usr/bin/python3
CHECK_BIN := $(BUILD)/bin/vantorell-check

MODULE_FILES := $(wildcard module/*.cpp module/*.h) module/config module/exports.map

# The HTTP modules that distribution packages enable, so that the module is
# tried among the modules operators run (auth_request, mirror, SSI, HTTP/2...);
# --with-compat keeps the module signature of stock builds.
NGX_CONFIGURE_ARGS := $(shell grep -v '^\#' scripts/nginx-configure-args)

# what the scripts and the integration tests run: the release NGINX_VERSION names
RUN_ENV := VANTORELL_NGINX=$(NGINX) VANTORELL_MODULE=$(MODULE_SO)

.PHONY: all build build-all deps run test test-all debian-check unit integration memcheck clean
all: build

build: $(NGINX) $(MODULE_SO) $(CHECK_BIN) $(if $(filter $(NGINX_DEFAULT),$(NGINX_VERSION)),default-link)

build-all: $(foreach v,$(NGINX_VERSIONS),$(BUILD)/nginx-$(v)/sbin/nginx \
             $(BUILD)/nginx-$(v)/modules/ngx_http_vantorell_module.so) default-link

# build/nginx is where the docs, the demo and the valgrind check find the
# default build; trees from before versioned builds hold a real folder there.
.PHONY: default-link
default-link: $(BUILD)/nginx-$(NGINX_DEFAULT)/sbin/nginx \
              $(BUILD)/nginx-$(NGINX_DEFAULT)/modules/ngx_http_vantorell_module.so
	@[ -L $(BUILD)/nginx ] || { rm -rf $(BUILD)/nginx; ln -s nginx-$(NGINX_DEFAULT) $(BUILD)/nginx; }

deps: $(BUILD)/.deps

$(BUILD)/.deps: scripts/install-deps.sh
	bash scripts/install-deps.sh
	@mkdir -p $(BUILD) && touch $@

# One set of rules for every release; % is the version.  Sources in
# nginx-<v>-src, objects in nginx-<v>-objs, the installed build in nginx-<v>.
.PRECIOUS: $(BUILD)/nginx-%-src/auto/configure $(BUILD)/nginx-%-objs/Makefile \
           $(BUILD)/nginx-%-objs/.built

$(BUILD)/nginx-%-src/auto/configure: scripts/fetch-nginx.sh | $(BUILD)/.deps
	bash scripts/fetch-nginx.sh $* $(BUILD)
	@touch $@

$(BUILD)/nginx-%-objs/Makefile: $(BUILD)/nginx-%-src/auto/configure module/config Makefile \
                               scripts/nginx-configure-args
	cd $(BUILD)/nginx-$*-src && ./configure --prefix=$(BUILD)/nginx-$* \
	  --builddir=$(BUILD)/nginx-$*-objs $(NGX_CONFIGURE_ARGS) --add-dynamic-module=$(CURDIR)/module \
	  > $(BUILD)/configure-$*.log || { tail -n 30 $(BUILD)/configure-$*.log; exit 1; }

$(BUILD)/nginx-%-objs/.built: $(BUILD)/nginx-%-objs/Makefile $(MODULE_FILES)
	$(MAKE) -C $(BUILD)/nginx-$*-src -f $(BUILD)/nginx-$*-objs/Makefile -j2 binary modules
	@touch $@

$(BUILD)/nginx-%/sbin/nginx $(BUILD)/nginx-%/modules/ngx_http_vantorell_module.so: \
    $(BUILD)/nginx-%-objs/.built
	$(MAKE) -C $(BUILD)/nginx-$*-src -f $(BUILD)/nginx-$*-objs/Makefile install > /dev/null
	@touch $(BUILD)/nginx-$*/sbin/nginx $(BUILD)/nginx-$*/modules/ngx_http_vantorell_module.so

# ---- unit tests: the portable core, on its own -------------------------------

UNIT_BIN   := $(BUILD)/unit/vantorell_unit
CORE_SRCS  := module/status.cpp module/data_file.cpp module/targeting.cpp module/visitor.cpp \
              module/model_cache.cpp module/outcome.cpp module/split.cpp \
              module/force.cpp module/pattern_messages.cpp
CORE_LIBS  := -ljson-c -lcrypto -lpcre2-8
UNIT_SRCS  := $(wildcard tests/unit/*.cpp)
# VANTORELL_TESTING builds in the seams that only tests use
UNIT_FLAGS := -std=c++17 -g -O1 -Wall -Wextra -Werror -DVANTORELL_TESTING -Imodule

$(UNIT_BIN): $(UNIT_SRCS) $(CORE_SRCS) $(wildcard module/*.h tests/unit/*.h) | $(BUILD)/.deps
	@mkdir -p $(dir $@)
	g++ $(UNIT_FLAGS) -o $@ $(UNIT_SRCS) $(CORE_SRCS) -lgtest -lpthread $(CORE_LIBS)

unit: $(UNIT_BIN)
	$(UNIT_BIN)

# ---- vantorell-check: the command-line tool, from the same core ----------------
# The core's sources as the module has them, and the few sources of nginx
# that parse a request line and a Cookie header as nginx does (with the pool
# and arrays they allocate from), compiled against a configured nginx tree:
# the default release's here.  The Debian package gives NGX_SRC and NGX_OBJS
# of Debian's own nginx sources, configured as Debian's nginx is, with the
# distribution's CPPFLAGS, CFLAGS, CXXFLAGS and LDFLAGS.

NGX_SRC    := $(BUILD)/nginx-$(NGINX_DEFAULT)-src
NGX_OBJS   := $(BUILD)/nginx-$(NGINX_DEFAULT)-objs
# quic and v3: an nginx configured with HTTP/3, as Debian 13's is, includes
# their headers from its core and HTTP headers (older releases have neither
# folder, and a missing one is no fault)
NGX_INCS   := -I$(NGX_SRC)/src/core -I$(NGX_SRC)/src/event -I$(NGX_SRC)/src/event/modules \
              -I$(NGX_SRC)/src/event/quic -I$(NGX_SRC)/src/os/unix -I$(NGX_OBJS) \
              -I$(NGX_SRC)/src/http -I$(NGX_SRC)/src/http/modules -I$(NGX_SRC)/src/http/v2 \
              -I$(NGX_SRC)/src/http/v3
NGX_PARSE_SRCS := src/http/ngx_http_parse.c src/core/ngx_string.c src/core/ngx_palloc.c \
                  src/core/ngx_array.c src/os/unix/ngx_alloc.c

CHECK_SRCS  := $(wildcard tools/vantorell-check/*.cpp)
CHECK_FLAGS := -std=c++17 -O2 -g -Wall -Wextra -Werror -Imodule -Itools/vantorell-check $(NGX_INCS)
CHECK_NGX   := $(BUILD)/check-ngx
CHECK_NGX_OBJS := $(addprefix $(CHECK_NGX)/,$(notdir $(NGX_PARSE_SRCS:.c=.o))) \
                  $(CHECK_NGX)/nginx_runtime.o

# configured (ngx_auto_config.h) is all the tool needs of the nginx tree
$(CHECK_NGX)/%.o: $(NGX_OBJS)/Makefile tools/vantorell-check/nginx_runtime.c
	@mkdir -p $(dir $@)
	gcc -c -O2 -g $(CPPFLAGS) $(CFLAGS) $(NGX_INCS) -o $@ \
	  $(if $(filter nginx_runtime,$*),tools/vantorell-check/nginx_runtime.c,$(NGX_SRC)/$(filter %/$*.c,$(NGX_PARSE_SRCS)))

$(CHECK_BIN): $(CHECK_SRCS) $(CORE_SRCS) $(wildcard module/*.h tools/vantorell-check/*.h) $(CHECK_NGX_OBJS)
	@mkdir -p $(dir $@)
	g++ $(CHECK_FLAGS) $(CPPFLAGS) $(CXXFLAGS) $(LDFLAGS) -o $@ $(CHECK_SRCS) $(CORE_SRCS) \
	  $(CHECK_NGX_OBJS) $(CORE_LIBS)

.SECONDARY: $(CHECK_NGX_OBJS)
.PHONY: check-tool
check-tool: $(CHECK_BIN)

# ---- fuzzing: libFuzzer targets over the portable core (tests/fuzz/) ---------
# Each target is clang's libFuzzer with ASan and UBSan, and the core built in.
# The cookie target drives nginx's own cookie lookup: the tool's few nginx
# sources are built instrumented into it, so the sanitizers see nginx's reads
# of the header.  make fuzz runs each target FUZZ_SECONDS; make fuzz-smoke runs
# each 30 s (both first replay tests/fuzz/regressions/<target>/ when a finding
# was kept there).

FUZZ           := $(BUILD)/fuzz
FUZZ_TARGETS   := data_file cookie outcome_text
FUZZ_SECONDS   ?= 120
FUZZ_SAN       := -g -O1 -fsanitize=address,undefined -fno-sanitize-recover=undefined
FUZZ_INCS      := -Imodule -Itests/unit -Itools/vantorell-check
FUZZ_NGX_OBJS  := $(addprefix $(FUZZ)/ngx/,$(notdir $(NGX_PARSE_SRCS:.c=.o))) $(FUZZ)/ngx/nginx_runtime.o
FUZZ_CORE_OBJS := $(addprefix $(FUZZ)/core/,$(notdir $(CORE_SRCS:.cpp=.o)))
FUZZ_BINS      := $(addprefix $(FUZZ)/fuzz_,$(FUZZ_TARGETS))
# the data file target drives vantorell-check's lint as well
FUZZ_TOOL_OBJS := $(FUZZ)/tool/lint.o $(FUZZ)/tool/common.o

# clang and its libFuzzer runtime: needed here only
$(FUZZ)/.deps: scripts/install-deps.sh
	bash scripts/install-deps.sh clang-14 libclang-rt-14-dev
	@mkdir -p $(FUZZ) && touch $@

$(FUZZ)/core/%.o: module/%.cpp $(wildcard module/*.h) | $(FUZZ)/.deps
	@mkdir -p $(dir $@)
	clang++-14 -std=c++17 -Wall -Wextra -Werror $(FUZZ_SAN) -fsanitize=fuzzer-no-link \
	  -DVANTORELL_TESTING $(FUZZ_INCS) -c $< -o $@

$(FUZZ)/tool/%.o: tools/vantorell-check/%.cpp $(wildcard module/*.h tools/vantorell-check/*.h) \
                  | $(FUZZ)/.deps
	@mkdir -p $(dir $@)
	clang++-14 -std=c++17 -Wall -Wextra -Werror $(FUZZ_SAN) -fsanitize=fuzzer-no-link \
	  $(FUZZ_INCS) -c $< -o $@

$(FUZZ)/ngx/%.o: $(NGX_OBJS)/Makefile tools/vantorell-check/nginx_runtime.c | $(FUZZ)/.deps
	@mkdir -p $(dir $@)
	clang-14 $(FUZZ_SAN) -fsanitize=fuzzer-no-link $(NGX_INCS) -o $@ \
	  -c $(if $(filter nginx_runtime,$*),tools/vantorell-check/nginx_runtime.c,$(NGX_SRC)/$(filter %/$*.c,$(NGX_PARSE_SRCS)))

# only the cookie target takes nginx's sources
$(FUZZ)/fuzz_%: tests/fuzz/fuzz_%.cpp $(wildcard tests/fuzz/*.h tests/unit/*.h) tools/vantorell-check/nginx_pool.h \
                $(FUZZ_CORE_OBJS) $(FUZZ_TOOL_OBJS) $(FUZZ_NGX_OBJS)
	clang++-14 -std=c++17 -Wall -Wextra -Werror $(FUZZ_SAN) -fsanitize=fuzzer $(FUZZ_INCS) \
	  $(if $(filter cookie,$*),$(NGX_INCS)) -o $@ $< $(FUZZ_CORE_OBJS) $(FUZZ_TOOL_OBJS) \
	  $(if $(filter cookie,$*),$(FUZZ_NGX_OBJS)) $(CORE_LIBS)

.SECONDARY: $(FUZZ_CORE_OBJS) $(FUZZ_TOOL_OBJS) $(FUZZ_NGX_OBJS)
.PHONY: fuzz-build fuzz fuzz-smoke
fuzz-build: $(FUZZ_BINS)

fuzz: fuzz-build
	bash tests/fuzz/run.sh $(FUZZ) $(FUZZ_SECONDS) $(FUZZ_TARGETS)

fuzz-smoke: fuzz-build
	bash tests/fuzz/run.sh $(FUZZ) 30 $(FUZZ_TARGETS)

# ---- integration tests: the built nginx with the module loaded ---------------

integration: build
	$(RUN_ENV) $(PYTHON) -m pytest -q -n auto tests/integration

# nginx under valgrind: no memory error, nothing of the module's definitely lost
memcheck: build
	$(RUN_ENV) bash scripts/valgrind-check.sh

test: build unit memcheck integration

# Debian 12's own nginx package with the module built the way the README tells
# operators to (installs the package; starts no service)
debian-check: deps
	bash scripts/debian-nginx-check.sh

# The integration suite against every release, then Debian's package.  A
# failing release does not hide the others: the run fails at its end.
test-all: build-all unit
	@status=0; \
	for v in $(NGINX_VERSIONS); do \
	  echo "== integration tests, nginx $$v"; \
	  VANTORELL_NGINX=$(BUILD)/nginx-$$v/sbin/nginx \
	  VANTORELL_MODULE=$(BUILD)/nginx-$$v/modules/ngx_http_vantorell_module.so \
	    $(PYTHON) -m pytest -q -n auto tests/integration || status=1; \
	done; \
	echo "== Debian's nginx package with the module"; \
	bash scripts/debian-nginx-check.sh || status=1; \
	exit $$status

run: build
	$(RUN_ENV) bash scripts/run-demo.sh

# wrk against the built nginx: module off, module on in every scenario and the
# split_clients peer, side by side with module off, in about 4 minutes; results in build/bench/
# Timing lives here, never in the tests.  BENCH_ARGS=--help lists the knobs.
.PHONY: bench regex-bench
bench: build
	bash scripts/bench/install-bench-deps.sh
	$(RUN_ENV) $(PYTHON) scripts/bench/bench.py $(BENCH_ARGS)
	$(MAKE) --no-print-directory regex-bench

# Targeting without the worker's memo of URL texts: what a URL never seen
# before costs, on shop data files of 100 experiments (a fifth of their
# conditions regular expressions, then all of them) and of 1,000.
REGEX_BENCH := $(BUILD)/bench/regex_bench
$(REGEX_BENCH): scripts/bench/regex_bench.cpp $(CORE_SRCS) $(wildcard module/*.h)
	@mkdir -p $(dir $@)
	g++ -std=c++17 -O2 -g -Wall -Wextra -Werror -Imodule -o $@ $< $(CORE_SRCS) $(CORE_LIBS)

regex-bench: $(REGEX_BENCH)
	$(PYTHON) scripts/bench/make_data.py 100 -o $(BUILD)/bench/mixed-100.json
	$(PYTHON) scripts/bench/make_data.py 100 --all-regex -o $(BUILD)/bench/regex-100.json
	$(PYTHON) scripts/bench/make_data.py 1000 -o $(BUILD)/bench/mixed-1000.json
	cd $(BUILD)/bench && $(REGEX_BENCH) mixed-100.json regex-100.json mixed-1000.json \
	  | tee regex.txt

# AddressSanitizer + UndefinedBehaviorSanitizer build of nginx 1.18.0 and the
# module in its own folder; the integration suite against it, stopping at the
# first report.  PYTEST_ARGS narrows the suite.
.PHONY: test-sanitize
test-sanitize: deps
	bash scripts/sanitize/test-sanitize.sh $(PYTEST_ARGS)

# wrk drives a million requests at one worker while the data file is rewritten
# every 100 ms and nginx reloads; fails on a crash, an [alert], an unexpected
# status or a worker that keeps growing.  SOAK_ARGS=--help lists the knobs.
.PHONY: soak
soak: build
	bash scripts/bench/install-bench-deps.sh
	$(RUN_ENV) $(PYTHON) scripts/soak/soak.py $(SOAK_ARGS)

# ---- the Debian packages -----------------------------------------------------
# Built against Debian's own nginx sources (nginx-dev), not against the
# releases in build/, so this needs nothing of `make build`.

$(BUILD)/deb-deps: scripts/install-deps.sh
	bash scripts/install-deps.sh nginx-dev debhelper lintian procps
	@mkdir -p $(BUILD) && touch $@

# DEBIAN_RELEASE=trixie: the packages for that Debian release instead, built
# and checked by scripts/deb-root.sh in roots of that release that mmdebstrap
# makes under build/roots/ (and reuses), into build/deb/<release>/.
DEBIAN_RELEASE ?=

$(BUILD)/root-deps: scripts/install-deps.sh
	bash scripts/install-deps.sh mmdebstrap
	@mkdir -p $(BUILD) && touch $@

.PHONY: deb deb-check
ifeq ($(DEBIAN_RELEASE),)
deb: $(BUILD)/deb-deps
	bash scripts/deb-build.sh

deb-check: $(BUILD)/deb-deps
	bash scripts/deb-check.sh
else
deb: $(BUILD)/root-deps
	bash scripts/deb-root.sh build $(DEBIAN_RELEASE)

deb-check: $(BUILD)/root-deps
	bash scripts/deb-root.sh check $(DEBIAN_RELEASE)
endif

clean:
	rm -rf $(BUILD)
